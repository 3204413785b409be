#include "platform/openssl_call.h"

#include <openssl/err.h>

namespace kelvadrome {

OpensslErrorScope::OpensslErrorScope() {
  ERR_set_mark();
}

OpensslErrorScope::~OpensslErrorScope() {
  ERR_pop_to_mark();
}

}  // namespace kelvadrome
