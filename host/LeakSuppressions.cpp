// Libraries that keep caches for the life of the process by design: fontconfig's
// configuration and font caches (Pango's default font map never lets them go) and GTK's
// per-display state. LeakSanitizer would report them when korvel-host exits.
#ifdef KORVEL_SANITIZED
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
#endif
