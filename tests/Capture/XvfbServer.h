#pragma once

#include <QByteArray>
#include <QSize>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// A private Xvfb on a free display number (the server picks it and reports it through
// -displayfd). Stopped when this object goes away, or when the process dies.
class XvfbServer
{
public:
    static bool available() { return std::system("command -v Xvfb >/dev/null 2>&1") == 0; }

    explicit XvfbServer(QSize size)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            // Take the server down with us if the test crashes.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            const std::string screen =
                std::to_string(size.width()) + "x" + std::to_string(size.height()) + "x24";
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, STDERR_FILENO);
            dup2(devnull, STDOUT_FILENO);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
                   "tcp", "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        char buffer[32] = {};
        std::size_t got = 0;
        // The server writes the display number followed by a newline once it accepts clients.
        while (got < sizeof buffer - 1) {
            const ssize_t n = read(fds[0], buffer + got, sizeof buffer - 1 - got);
            if (n <= 0)
                break;
            got += std::size_t(n);
            if (buffer[got - 1] == '\n')
                break;
        }
        close(fds[0]);
        if (got > 0 && buffer[got - 1] == '\n')
            m_display = QByteArray(":") + QByteArray(buffer, qsizetype(got - 1));
    }
    ~XvfbServer()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return !m_display.isEmpty(); }
    pid_t pid() const { return m_pid; }
    const QByteArray& display() const { return m_display; }

private:
    pid_t m_pid = -1;
    QByteArray m_display;
};
