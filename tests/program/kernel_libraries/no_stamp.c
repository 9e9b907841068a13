/* A kernel library without the Python bridge ABI stamp. */
int arvex_test_kernel_library(void) { return 0; }
