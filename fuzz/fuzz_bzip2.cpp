// Fuzz target of the bzip2 decoder: the gzip target's modes, with bzip2 streams.
#define TESSORA_FUZZ_BZIP2 1
#include "fuzz_gzip.cpp"
