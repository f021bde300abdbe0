#include "tests/support/test_paths.h"

namespace vq::test_paths {

const char* SourceDir() {
    return VQ_SOURCE_DIR;
}
const char* BinaryDir() {
    return VQ_BINARY_DIR;
}
const char* FakeWinscard() {
    return VQ_FAKE_WINSCARD;
}
const char* FakePkcs11() {
    return VQ_FAKE_PKCS11;
}
const char* WinscardStandin() {
    return VQ_WINSCARD_STANDIN;
}
const char* HostExe() {
    return VQ_HOST_EXE;
}
const char* NmHost() {
    return VQ_NM_HOST;
}

}  // namespace vq::test_paths
