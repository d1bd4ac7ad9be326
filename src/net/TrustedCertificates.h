#pragma once

#include <string>

// The certificates (PEM) the program trusts instead of the system's store: those of the
// VEXL_CA_BUNDLE file named when it was built, for a maker's own CA. Empty: the system's store.
const std::string& trustedCertificates();
