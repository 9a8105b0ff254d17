// A throw-away code-signing certificate, commands run with their output, and the PE field that
// name a certificate table, for the tests of signed updaters.
#ifndef MENDSMITH_TESTS_HOST_SUPPORT_SIGNING_H
#define MENDSMITH_TESTS_HOST_SUPPORT_SIGNING_H

#include <filesystem>
#include <string>

#include "format/bytes.h"
#include "support/run_command.h"

namespace mendsmith::test {

// The command's standard output and errors together.
inline CommandResult RunCommand(const std::string& command)
{
    return CaptureCommand(command + " 2>&1");
}

inline std::string Quoted(const std::filesystem::path& path)
{
    return "'" + path.string() + "'";
}

// signer.pfx locked by password.txt, and signer.pem; the subject's common name is kTestSigner.
inline constexpr const char* kTestSigner = "Mendsmith Test Signer";

// Self-signed, or issued by kTestAuthority.
enum class Issuer { Self, Authority };
inline constexpr const char* kTestAuthority = "Mendsmith Test Authority";

inline bool MakeSigningCertificate(const std::filesystem::path& dir, Issuer issuer = Issuer::Self)
{
    return RunCommand("bash " + Quoted(MENDSMITH_SOURCE_DIR "/tests/support/make_signing_cert.sh") + " " + Quoted(dir) +
                      (issuer == Issuer::Authority ? " issued" : ""))
               .exitCode == 0;
}

// The file offset of the PE security directory entry (offset, then size) of an i686 image.
inline std::size_t SecurityDirectoryEntry(format::ByteView image)
{
    return format::LoadU32(image, 0x3C) + 24 + 96 + 8 * 4;
}

} // namespace mendsmith::test

#endif
