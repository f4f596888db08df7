/* The plug-in module is built with hidden visibility: only names marked KORVEL_EXPORT
 * (plain C names a host looks up) leave the shared object. */
#pragma once
#define KORVEL_EXPORT __attribute__((visibility("default")))
