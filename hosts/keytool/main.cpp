// veriquill-keytool: makes the key formats the component reads from an RSA key in PEM form.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "crypto/base_rsa.h"
#include "hosts/keytool/key_file_writer.h"
#include "storage/hex_text.h"
#include "storage/key_file.h"

namespace {

constexpr const char* kUsage =
    "usage: veriquill-keytool COMMAND ARGS [--password-file FILE] [--cipher NAME]\n"
    "  create KEY.pem OUT.prv     key file protected by the password\n"
    "  pkcs8 KEY.pem OUT.der      encrypted PKCS#8 file (--cipher aes-256-cbc (default), des3,\n"
    "                             aes-128-cbc, ... or pbe-sha1-3des)\n"
    "  fingerprint KEY.pem        file fingerprint (--pkcs8: the PKCS#8 fingerprint)\n"
    "  public KEY.pem [OUT.pem]   public key as PEM (to OUT.pem or standard output)\n"
    "  blob KEY.pem               public-key blob as hex text\n"
    "  keydata FILE               the file's bytes as hex text (key data for SetKey)\n"
    "The password is the first line of FILE, or of standard input when no file is given.\n"
    "Output files are created with mode 0600 and never overwritten.\n";

int Fail(const std::string& message) {
    std::cerr << "veriquill-keytool: " << message << "\n";
    return 1;
}

std::optional<std::string> ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool ReadPassword(const std::optional<std::string>& file, vq::SecureString& password) {
    FILE* f = stdin;
    if (file && *file != "-") f = std::fopen(file->c_str(), "rb");
    if (!f) return false;
    password.wipe();
    int c;
    while ((c = std::fgetc(f)) != EOF && c != '\n') password.push_back(static_cast<char>(c));
    if (!password.empty() && password.data()[password.size() - 1] == '\r') password.pop_back();
    if (f != stdin) std::fclose(f);
    return true;
}

// Writes a new file (never replacing one); removes it again when writing fails.
bool WriteNew(const std::string& path, std::string_view data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t w = ::write(fd, data.data() + done, data.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
    }
    const bool ok = done == data.size() && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok) {
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

vq::PkeyPtr LoadPem(const std::string& path, std::string& error) {
    const auto text = ReadWhole(path);
    if (!text) {
        error = "cannot read " + path;
        return nullptr;
    }
    vq::PkeyPtr key = vq::keytool::ReadPemKey(*text);
    if (!key) {
        error = path + ": not an unencrypted PEM private key";
        return nullptr;
    }
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        error = path + ": not an RSA key";
        return nullptr;
    }
    return key;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    std::optional<std::string> passwordFile;
    std::string cipher = "aes-256-cbc";
    bool pkcs8Rule = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--password-file" || a == "--cipher") && i + 1 < argc) {
            (a == "--cipher" ? cipher : passwordFile.emplace()) = argv[++i];
        } else if (a == "--pkcs8") {
            pkcs8Rule = true;
        } else if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            return 0;
        } else {
            args.push_back(a);
        }
    }
    if (args.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    const std::string& command = args[0];
    auto need = [&](std::size_t n) { return args.size() == n + 1; };

    if (command == "keydata" && need(1)) {
        vq::SecureString hex;
        // The argument is already the system's name of the file: no code page in between.
        vq::fs::InputFile file = vq::fs::InputFile::OpenOsName(args[1]);
        const int rc = vq::ReadKeyFile(file, hex);
        if (rc != 0) return Fail("cannot read " + args[1] + " (code " + std::to_string(rc) + ")");
        std::cout << hex.view() << "\n";
        return 0;
    }

    std::string error;
    const bool known = command == "create" || command == "pkcs8" || command == "fingerprint" ||
                       command == "public" || command == "blob";
    const bool arity = (command == "create" || command == "pkcs8") ? need(2)
                       : command == "public"                       ? need(1) || need(2)
                                                                   : need(1);
    if (!known || !arity) {
        std::cerr << kUsage;
        return 2;
    }
    vq::PkeyPtr key = LoadPem(args[1], error);
    if (!key) return Fail(error);

    if (command == "fingerprint") {
        std::cout << (pkcs8Rule ? vq::Pkcs8Fingerprint(key.get()) : vq::FileFingerprint(key.get()))
                  << "\n";
        return 0;
    }
    if (command == "blob") {
        std::cout << vq::HexEncode(vq::PublicKeyBlob(key.get())) << "\n";
        return 0;
    }
    if (command == "public") {
        const std::string pem = vq::keytool::PublicKeyPem(key.get());
        if (pem.empty()) return Fail("cannot encode the public key");
        if (args.size() == 2) {
            std::cout << pem;
            return 0;
        }
        return WriteNew(args[2], pem) ? 0 : Fail("cannot create " + args[2]);
    }

    vq::SecureString password;
    if (!ReadPassword(passwordFile, password)) return Fail("cannot read the password");
    if (command == "create") {
        vq::SecureString text;
        const int rc = vq::keytool::MakeKeyFile(key.get(), password.c_str(), text);
        if (rc != 0) return Fail("cannot make the key file (code " + std::to_string(rc) + ")");
        if (!WriteNew(args[2], text.view())) return Fail("cannot create " + args[2]);
        std::cout << vq::FileFingerprint(key.get()) << "\n";
        return 0;
    }
    // pkcs8
    const std::string der = vq::keytool::MakePkcs8(key.get(), password.c_str(), cipher);
    if (der.empty()) return Fail("cannot make the PKCS#8 file with cipher " + cipher);
    if (!WriteNew(args[2], der)) return Fail("cannot create " + args[2]);
    std::cout << vq::Pkcs8Fingerprint(key.get()) << "\n";
    return 0;
}
