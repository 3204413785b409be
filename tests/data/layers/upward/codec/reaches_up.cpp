// A codec file that reaches into the workers above it: the layer check must refuse it.
#include "codec/byte_buffer.h"
#include "ops/hash.h"
