/* The plug-in module is built with hidden visibility: only names marked KORVEL_EXPORT
 * (plain C names a host looks up) leave the shared object. */
#ifndef KORVEL_PLATFORM_EXPORT_H
#define KORVEL_PLATFORM_EXPORT_H
#define KORVEL_EXPORT __attribute__((visibility("default")))
#endif
