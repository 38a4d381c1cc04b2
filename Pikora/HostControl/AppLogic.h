#pragma once

// Marks the objects that carry application logic rather than presentation. It asks nothing
// of them.
class AppLogic
{
public:
    virtual ~AppLogic() = default;
};
