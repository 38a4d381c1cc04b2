#pragma once

#include <functional>

// The permission protocol with the receiver's desktop application. That application asks,
// by posting the notification kRequestName with its bundle identifier as object, whether it
// may launch; we answer with kReplyName, our own bundle identifier as object and the user
// info {kIsAllowKey: bool}. The answer comes from the AllowQuery given to the broker, always
// asked on the main thread. Notifications of any other name, or from any other sender
// object, are ignored.
class PermissionBroker
{
public:
    // Asked on the main thread for every request: may the other application launch now?
    using AllowQuery = std::function<bool()>;

    static constexpr char kRequestName[] = "DistributedNotification_AppLaunchPermission_Request";
    static constexpr char kReplyName[] = "DistributedNotification_AppLaunchPermission_Reply";
    static constexpr char kIsAllowKey[] = "isAllow";
    // The bundle identifier of the receiver's desktop application, the only sender we answer.
    static constexpr char kReceiverApplicationIdentifier[] = "com.Tamsic.Vistrel-Pro";

    virtual ~PermissionBroker() = default;

    // Replaces the question asked for each request. Without one every request is denied.
    virtual void setAllowQuery(AllowQuery isAllow) = 0;

    // Starts answering requests. False (and logged) when the transport is not available; the
    // application goes on without the protocol then.
    virtual bool start() = 0;
    virtual void stop() = 0;
    virtual bool isListening() const = 0;
};
