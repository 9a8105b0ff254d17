// A throw-away code-signing certificate, commands run with their output, and the PE fields that
// name a certificate table, for the tests of signed updaters.
#ifndef MENDSMITH_TESTS_HOST_SUPPORT_SIGNING_H
#define MENDSMITH_TESTS_HOST_SUPPORT_SIGNING_H

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "format/bytes.h"

namespace mendsmith::test {

struct CommandResult {
    int exitCode;
    std::string output; // stdout and stderr together
};

inline CommandResult RunCommand(const std::string& command)
{
    CommandResult result{-1, ""};
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return result;
    std::array<char, 4096> buffer;
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
        result.output.append(buffer.data(), n);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

inline std::string Quoted(const std::filesystem::path& path)
{
    return "'" + path.string() + "'";
}

// signer.pfx locked by password.txt, and signer.pem; the subject's common name is kTestSigner.
inline constexpr const char* kTestSigner = "Mendsmith Test Signer";

inline bool MakeSigningCertificate(const std::filesystem::path& dir)
{
    return RunCommand("bash " + Quoted(MENDSMITH_SOURCE_DIR "/tests/support/make_signing_cert.sh") + " " + Quoted(dir))
               .exitCode == 0;
}

// The file offset of the PE security directory entry (offset, then size) of an i686 image.
inline std::size_t SecurityDirectoryEntry(format::ByteView image)
{
    return format::LoadU32(image, 0x3C) + 24 + 96 + 8 * 4;
}

inline void StoreU32(format::Bytes& image, std::size_t offset, std::uint32_t value)
{
    for (int i = 0; i < 4; i++)
        image[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

} // namespace mendsmith::test

#endif
