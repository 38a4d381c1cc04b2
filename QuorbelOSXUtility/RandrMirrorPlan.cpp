#include "QuorbelOSXUtility/RandrMirrorPlan.h"

#include <algorithm>

namespace {

using Plan = RandrMirrorPlan;
using Result = RandrMirrorPlan::Result;

bool contains(const std::vector<std::uint32_t>& list, std::uint32_t id)
{
    return std::find(list.begin(), list.end(), id) != list.end();
}

Plan outcome(Result result)
{
    Plan plan;
    plan.result = result;
    return plan;
}

Plan::CrtcConfig configOf(const RandrSnapshot::Crtc& crtc)
{
    Plan::CrtcConfig config;
    config.crtc = crtc.id;
    config.position = crtc.rect.topLeft();
    config.mode = crtc.mode;
    config.rotation = crtc.rotation;
    config.outputs = crtc.outputs;
    return config;
}

// The CRTC without `display`; turned off when nothing is left on it.
Plan::CrtcConfig without(const RandrSnapshot::Crtc& crtc, std::uint32_t display)
{
    Plan::CrtcConfig config = configOf(crtc);
    config.outputs.erase(std::remove(config.outputs.begin(), config.outputs.end(), display),
                         config.outputs.end());
    if (config.outputs.empty()) {
        config.position = {};
        config.mode = 0;
        config.rotation = 1;
    }
    return config;
}

// The right edge of everything shown except `display`'s own CRTC.
int rightEdge(const RandrSnapshot& s, std::uint32_t exceptCrtc)
{
    int right = 0;
    for (const RandrSnapshot::Crtc& c : s.crtcs)
        if (c.id != exceptCrtc && !c.rect.isEmpty())
            right = std::max(right, c.rect.x() + c.rect.width());
    return right;
}

// Places `config` (of `size`) at the right edge, growing the screen when needed.
Plan placeBeside(const RandrSnapshot& s, Plan plan, Plan::CrtcConfig config, QSize size,
                 std::uint32_t exceptCrtc)
{
    config.position = QPoint(rightEdge(s, exceptCrtc), 0);
    const QSize needed(std::max(s.screenSize.width(), config.position.x() + size.width()),
                       std::max(s.screenSize.height(), size.height()));
    if (needed.width() > s.screenSizeMax.width() || needed.height() > s.screenSizeMax.height())
        return outcome(Result::ScreenTooSmall);
    if (needed != s.screenSize)
        plan.screenSize = needed;
    plan.changes.push_back(std::move(config));
    plan.result = Result::Changed;
    return plan;
}

} // namespace

RandrMirrorPlan RandrMirrorPlan::plan(const RandrSnapshot& s, std::uint32_t display, bool mirror)
{
    const RandrSnapshot::Output* output = s.output(display);
    if (!output || !output->connected)
        return outcome(Result::NoSuchDisplay);
    const std::uint32_t main = s.mainDisplay();
    const std::uint32_t source = s.mirrorSourceOf(display);

    if (mirror) {
        if (display == main || main == 0)
            return outcome(Result::MainDisplay);
        if (source != 0)
            return outcome(Result::AlreadyMirrored);
        const RandrSnapshot::Crtc* mainCrtc = s.crtc(s.output(main)->crtc);
        if (!contains(mainCrtc->possible, display) || !contains(output->crtcs, mainCrtc->id))
            return outcome(Result::NoSharedCrtc);
        if (!contains(output->modes, mainCrtc->mode))
            return outcome(Result::NoCommonMode);
        Plan plan;
        // Off its own CRTC first, so that the CRTC is free before the output joins the other.
        if (const RandrSnapshot::Crtc* own = s.crtc(output->crtc); own && own->id != mainCrtc->id)
            plan.changes.push_back(without(*own, display));
        Plan::CrtcConfig shared = configOf(*mainCrtc);
        shared.outputs.push_back(display);
        plan.changes.push_back(std::move(shared));
        plan.result = Result::Changed;
        return plan;
    }

    if (source == 0)
        return outcome(Result::NotMirrored);
    const RandrSnapshot::Crtc* own = s.crtc(output->crtc);
    if (own->outputs.size() == 1) {
        // Its own CRTC over the same area: move it beside the others.
        return placeBeside(s, {}, configOf(*own), own->rect.size(), own->id);
    }
    // Sharing a CRTC: give the output a free CRTC of its own, in its preferred mode.
    const RandrSnapshot::Crtc* free = nullptr;
    for (std::uint32_t id : output->crtcs) {
        const RandrSnapshot::Crtc* c = s.crtc(id);
        if (c && c->outputs.empty() && contains(c->possible, display)) {
            free = c;
            break;
        }
    }
    if (!free)
        return outcome(Result::NoFreeCrtc);
    const RandrSnapshot::Mode* mode = output->modes.empty() ? nullptr : s.mode(output->modes.front());
    if (!mode || mode->width == 0 || mode->height == 0)
        return outcome(Result::NoCommonMode);
    Plan plan;
    plan.changes.push_back(without(*own, display));
    Plan::CrtcConfig alone;
    alone.crtc = free->id;
    alone.mode = mode->id;
    alone.rotation = 1;
    alone.outputs = {display};
    return placeBeside(s, std::move(plan), std::move(alone), QSize(mode->width, mode->height), 0);
}

QString RandrMirrorPlan::toString(Result result)
{
    switch (result) {
    case Result::Changed:
        return QStringLiteral("changed");
    case Result::AlreadyMirrored:
        return QStringLiteral("already mirrored");
    case Result::NotMirrored:
        return QStringLiteral("not mirrored");
    case Result::NoSuchDisplay:
        return QStringLiteral("no such display");
    case Result::MainDisplay:
        return QStringLiteral("the main display cannot mirror itself");
    case Result::NoSharedCrtc:
        return QStringLiteral("the main display's CRTC cannot drive this display");
    case Result::NoCommonMode:
        return QStringLiteral("the display cannot show the main display's mode");
    case Result::NoFreeCrtc:
        return QStringLiteral("no free CRTC for the display");
    case Result::ScreenTooSmall:
        return QStringLiteral("the screen cannot grow to hold the display");
    case Result::NoServer:
        return QStringLiteral("no X server with RandR 1.3");
    case Result::ServerRefused:
        return QStringLiteral("the X server refused the configuration");
    }
    return {};
}
