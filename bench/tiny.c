/* The installed program of the benchmarks: exits at once. Built static so
 * that its own start costs next to nothing. */
int main(void) { return 0; }
