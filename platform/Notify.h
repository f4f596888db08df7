/*
 * System-wide named notifications (the platform's notify_register_dispatch / notify_post).
 * Posting N creates or rewrites /tmp/.notify/N, so `touch /tmp/.notify/N` in a shell
 * posts it too. Registrations share one inotify watch of that directory and run their
 * handler on the requested queue of the current dispatcher.
 */
#ifndef KORVEL_PLATFORM_NOTIFY_H
#define KORVEL_PLATFORM_NOTIFY_H

#include <functional>
#include <string>

#include "platform/Dispatch.h"

namespace korvel::platform {

/* "/tmp/.notify", created on first use with mode 1777. */
std::string NotifyDirectory();

/* Registers `handler` for the notification `name`; returns the token (> 0), or 0 if the
 * registration could not be made. A handler already queued when its registration is
 * cancelled does not run. */
int NotifyRegister(const std::string& name, DispatchQueue queue, std::function<void()> handler);
void NotifyCancel(int token);
/* Posts `name`. Returns false if the file could not be written. */
bool NotifyPost(const std::string& name);

}  // namespace korvel::platform

#endif
