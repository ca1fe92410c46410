// Linked into the viewer's tests. Debian's Qt is not built with
// ThreadSanitizer: its QMutex waits on futexes the sanitizer cannot see, so
// every hand-off inside Qt (a call posted to another thread, the file
// dialog's file-system thread, Qt's own thread pool) looks like a race on the
// memory Qt allocates and copies. Accesses made by Qt's own code are
// therefore ignored; every access made by our code, also when Qt calls it
// from its event loop, is still checked. Options from TSAN_OPTIONS come on
// top of this. The editor's camera test runs `vistel probe` through
// QProcess, whose forked child may start a thread before it execs, which the
// sanitizer would otherwise end the test for.
extern "C" const char* __tsan_default_options() {
  return "ignore_noninstrumented_modules=1:die_after_fork=0";
}
