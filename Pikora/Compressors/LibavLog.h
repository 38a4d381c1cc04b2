#pragma once

// Where libav's diagnostics go. install() puts a log callback in place once per process:
// messages that libav writes on a thread inside a LibavLog::Scope (our encoder calls) go to
// the "pikora.compress" category (errors as warnings, warnings as info; the encoders' info
// chatter and anything more verbose is dropped), in a quiet scope as debug. Every other message goes on to
// libav's default handler at the level the process has set, which we never change.
namespace LibavLog {

void install();

class Scope
{
public:
    explicit Scope(bool quiet = false);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    bool m_previousQuiet;
};

} // namespace LibavLog
