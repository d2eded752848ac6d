// Linked only into the executables that use Qt (the tests and the program), and only in the
// ThreadSanitizer build: Qt's libraries are not instrumented, so these executables read the
// suppressions for Qt's internals. Options given in TSAN_OPTIONS are applied on top of these.
extern "C" const char* __tsan_default_options() {
    return "suppressions=" QUORVEL_TSAN_QT_SUPP;
}
