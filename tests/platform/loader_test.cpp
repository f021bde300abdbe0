// The LoadLibrary stand-in: DLL names resolved through the machine registry, move-only library
// handles, and the version information of shared objects.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/codepage/codepage.h"
#include "platform/loader/loader.h"
#include "tests/fakes/test_env.h"

namespace vq::loader {
namespace {

using vq::testing::DeviceEnv;

TEST(Loader, NamesResolveThroughTheRegistryThenDefaults) {
    DeviceEnv env;
    EXPECT_EQ(ResolveLibraryPath("pkcs11.dll"), "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so");
    EXPECT_NE(ResolveLibraryPath("winscard.dll")->find("libvq-winscard.so"), std::string::npos);
    EXPECT_FALSE(ResolveLibraryPath("unknown.dll"));
    EXPECT_FALSE(ResolveLibraryPath(""));
    EXPECT_EQ(ResolveLibraryPath("/opt/x.so"), "/opt/x.so");
    env.MapLibrary("PKCS11.DLL", "/opt/vendor/p11.so");
    env.MapLibrary("extra.dll", "/opt/extra.so");
    EXPECT_EQ(ResolveLibraryPath("pkcs11.dll"), "/opt/vendor/p11.so");  // case-insensitive
    EXPECT_EQ(ResolveLibraryPath("Extra.Dll"), "/opt/extra.so");
}

TEST(Loader, LibraryIsMoveOnlyAndUnloads) {
    DeviceEnv env;
    env.MapLibrary("pkcs11.dll", VQ_FAKE_PKCS11);
    long error = -1;
    Library a = Library::Load("pkcs11.dll", &error);
    ASSERT_TRUE(a) << a.errorText();
    EXPECT_EQ(error, 0);
    EXPECT_NE(a.Symbol("C_GetFunctionList"), nullptr);
    EXPECT_EQ(a.Symbol("C_NoSuchFunction"), nullptr);
    EXPECT_EQ(a.Symbol(nullptr), nullptr);
    Library b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
    EXPECT_EQ(a.Symbol("C_GetFunctionList"), nullptr);
    Library c;
    c = std::move(b);
    EXPECT_TRUE(c);
    c.Free();
    EXPECT_FALSE(c);

    env.MapLibrary("gone.dll", env.Path("missing.so"));
    Library d = Library::Load("gone.dll", &error);
    EXPECT_FALSE(d);
    EXPECT_EQ(error, kErrorModNotFound);
    EXPECT_FALSE(d.errorText().empty());
    EXPECT_FALSE(Library::Load("nothing.dll", &error));
}

// The registry holds module paths as component text (Windows-1250); the file system's names
// are UTF-8.
TEST(Loader, ModulePathsWithPolishLettersLoad) {
    DeviceEnv env;
    const std::string folder = env.Path(
        "Biblioteki \u0105\u0107\u0119\u0142\u0144\u00f3\u015b\u017a\u017c "
        "\u0104\u0106\u0118\u0141\u0143\u00d3\u015a\u0179\u017b");
    std::filesystem::create_directory(folder);
    const std::string module = folder + "/modu\u0142.so";
    std::filesystem::copy_file(VQ_FAKE_PKCS11, module);
    const auto ansi = cp::FromUtf8(module, "CP1250");
    ASSERT_TRUE(ansi);
    env.MapLibrary("pkcs11.dll", *ansi);
    long error = -1;
    Library lib = Library::Load("pkcs11.dll", &error);
    ASSERT_TRUE(lib) << lib.errorText();
    EXPECT_EQ(error, 0);
    EXPECT_EQ(lib.path(), *ansi);
    EXPECT_NE(lib.Symbol("C_GetFunctionList"), nullptr);
    EXPECT_GT(GetFileVersionInfoSize("pkcs11.dll"), 0u);
    FileVersionInfo info;
    EXPECT_TRUE(GetFileVersionInfo("pkcs11.dll", info));

    // A byte without a character in the code page names no module.
    env.MapLibrary("odd.dll", env.Path("m\x81.so"));
    EXPECT_FALSE(Library::Load("odd.dll", &error));
    EXPECT_EQ(error, kErrorModNotFound);
    EXPECT_EQ(GetFileVersionInfoSize("odd.dll"), 0u);
    EXPECT_FALSE(GetFileVersionInfo("odd.dll", info));
}

TEST(Loader, VersionInformationOfSharedObjects) {
    DeviceEnv env;
    env.MapLibrary("versioned.dll", "/usr/lib/x86_64-linux-gnu/libpcsclite.so.1");
    env.MapLibrary("plain.dll", VQ_FAKE_PKCS11);
    env.MapLibrary("text.dll", env.Path("text"));
    env.MapLibrary("gone.dll", env.Path("missing"));
    env.Write("text", "hello");

    EXPECT_GT(GetFileVersionInfoSize("versioned.dll"), 0u);
    FileVersionInfo info;
    ASSERT_TRUE(GetFileVersionInfo("versioned.dll", info));
    EXPECT_EQ(info.soname, "libpcsclite.so.1");
    FixedFileInfo fixed;
    ASSERT_TRUE(VerQueryRoot(info, fixed));
    EXPECT_EQ(fixed.major, 1u);

    // Our module has no versioned SONAME: information exists, its root block does not.
    EXPECT_GT(GetFileVersionInfoSize("plain.dll"), 0u);
    ASSERT_TRUE(GetFileVersionInfo("plain.dll", info));
    EXPECT_FALSE(VerQueryRoot(info, fixed));

    EXPECT_EQ(GetFileVersionInfoSize("text.dll"), 0u);
    EXPECT_EQ(GetFileVersionInfoSize("gone.dll"), 0u);
    EXPECT_FALSE(GetFileVersionInfo("gone.dll", info));
}

TEST(Loader, SonameVersions) {
    FixedFileInfo v;
    ASSERT_TRUE(SonameVersion("libx.so.1.2.3", v));
    EXPECT_EQ(v.major, 1u);
    EXPECT_EQ(v.minor, 2u);
    EXPECT_EQ(v.patch, 3u);
    ASSERT_TRUE(SonameVersion("libx.so.8", v));
    EXPECT_EQ(v.minor, 0u);
    for (const char* bad : {"libx.so", "libx.so.", "libx.so.1.", "libx.so.a", "libx.so.1..2", "",
                            "libx.so.99999999999"})
        EXPECT_FALSE(SonameVersion(bad, v)) << bad;
}

TEST(Loader, TruncatedOrCorruptElfIsRejected) {
    std::ifstream in("/usr/lib/x86_64-linux-gnu/libpcsclite.so.1", std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(data.size(), 1000u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    std::string soname;
    ASSERT_TRUE(ParseElfSoname(bytes, data.size(), soname));
    EXPECT_EQ(soname, "libpcsclite.so.1");
    // The section headers sit at the end: cutting the file loses them.
    EXPECT_FALSE(ParseElfSoname(bytes, data.size() / 2, soname));
    EXPECT_FALSE(ParseElfSoname(bytes, 10, soname));
    std::string corrupt = data;
    corrupt[4] = 1;  // 32-bit class
    EXPECT_FALSE(ParseElfSoname(reinterpret_cast<const unsigned char*>(corrupt.data()),
                                corrupt.size(), soname));
}

}  // namespace
}  // namespace vq::loader
