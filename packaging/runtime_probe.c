/* Never run, never installed: linked with exactly the media libraries that Tonvale loads
   at run time, so that dpkg-shlibdeps can name the packages that hold them. */
int main(void) {
    return 0;
}
