/* A kernel library that carries the Python bridge ABI stamp given at build time. */
#include <stdint.h>

uint32_t arvex_python_bridge_abi(void) { return ARVEX_TEST_STAMP; }
