/* Exports the first three names of the swscale table and nothing else. */
unsigned swscale_version(void) {
    return 0;
}
void* sws_getContext(void) {
    return 0;
}
void* sws_getCachedContext(void) {
    return 0;
}
