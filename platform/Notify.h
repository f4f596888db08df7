/*
 * System-wide named notifications (the platform's notify_register_dispatch / notify_post).
 * Posting N creates or rewrites /tmp/.notify/N, so `touch /tmp/.notify/N` in a shell
 * posts it too. Registrations share one inotify watch of that directory and run their
 * handler on the requested queue of the current dispatcher.
 */
#pragma once

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

/* Names are single path components: empty names, "." and "..", and names holding '/'
 * are refused (token 0, post false). The directory must be a real directory: a symbolic
 * link or any other file planted at its path is refused, never followed.
 *
 * Tests only: puts the notification directory at `path` for every later call (an empty
 * path restores /tmp/.notify). The process has one watch: the next registration moves it
 * to the new directory, for earlier registrations too. */
void SetNotifyDirectoryForTesting(const std::string& path);

}  // namespace korvel::platform
