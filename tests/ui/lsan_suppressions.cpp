// Leaks that are not ours, for the LeakSanitizer of the sanitizer build: fontconfig
// keeps a cache that Qt's font database never hands back.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
