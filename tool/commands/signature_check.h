// Whether an updater's Authenticode signature holds: the file's digest against the one signed,
// and the signer's signature over that digest. Whether Windows trusts the signer is another
// question, which only the certificate's issuer hints at.
#ifndef MENDSMITH_TOOL_SIGNATURE_CHECK_H
#define MENDSMITH_TOOL_SIGNATURE_CHECK_H

#include <string>

#include "format/bytes.h"
#include "format/signature.h"

namespace mendsmith::tool {

enum class SignatureVerdict { Valid, Invalid, NotChecked };

struct SignatureCheck {
    SignatureVerdict verdict = SignatureVerdict::NotChecked;
    std::string problem; // why invalid, or why not checked
    // Who issued the signer's certificate: its common name (or whole name); empty when the
    // certificate could not be read.
    std::string issuer;
    bool selfSigned = false;
};

// False in a build of the tool without a cryptography library, where every check is NotChecked.
bool CanCheckSignatures();

SignatureCheck CheckSignature(format::ByteView image, const format::CertificateTable& table);

} // namespace mendsmith::tool

#endif
