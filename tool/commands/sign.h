// Signing an updater: an Authenticode signature over the whole file, made by osslsigncode.
#ifndef MENDSMITH_TOOL_SIGN_H
#define MENDSMITH_TOOL_SIGN_H

#include <filesystem>
#include <optional>

#include "format/bytes.h"

namespace mendsmith::tool {

struct SignOptions {
    std::filesystem::path certificate;                 // PKCS#12 (.pfx) with the key and its certificate
    std::optional<std::filesystem::path> passwordFile; // none: the .pfx has no password
};

// osslsigncode's path on PATH. Throws ToolError (I/O) when it is not installed, so that a build
// can refuse before doing its work.
std::filesystem::path FindSigner();

// The image signed, through scratch files that are removed whatever happens. Throws ToolError
// (I/O) with osslsigncode's own words when it cannot sign (a certificate that does not open, a
// wrong password), and (verification) when the signed file no longer reads back as the same
// updater.
format::Bytes SignImage(format::ByteView image, const SignOptions& options);

} // namespace mendsmith::tool

#endif
