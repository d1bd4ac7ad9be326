// The maker's public keys this build trusts, from VEXL_PUBLIC_KEYS; a unit of its own, so that a
// build can be made with other keys for the price of one file.
#include "net/Signatures.h"

const char* builtInPublicKeys() {
    return VEXL_PUBLIC_KEYS;
}
