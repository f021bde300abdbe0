// Where this build keeps what the tests run: the checkout, the build tree, the test doubles and
// the programs. The paths are compiled into one small unit of their own, so that no other test
// object depends on the checkout it was built in and the compiler cache shares them between
// checkouts.
#pragma once

namespace vq::test_paths {

const char* SourceDir();        // the checkout's top folder
const char* BinaryDir();        // the build tree's top folder
const char* FakeWinscard();     // the fake PC/SC library
const char* FakePkcs11();       // the test PKCS#11 module
const char* WinscardStandin();  // the production "winscard.dll" over pcsc-lite
const char* HostExe();          // the script host, veriquill
const char* NmHost();           // the native messaging host, veriquill-nm

}  // namespace vq::test_paths
