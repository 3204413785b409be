// A worker that talks to OpenSSL itself instead of through the platform: the layer check must
// refuse it.
#include <openssl/evp.h>

#include "platform/text.h"
