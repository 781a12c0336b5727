/* A frame-hook library without "Process": the loader must refuse it. */
int Configure(void** ctxp, int argc, char* argv[]) {
    (void)argc;
    (void)argv;
    *ctxp = 0;
    return 0;
}
