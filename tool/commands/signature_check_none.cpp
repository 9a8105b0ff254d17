// The Windows build of the tool carries no cryptography library, so it says so instead of a verdict.
#include "tool/commands/signature_check.h"

namespace mendsmith::tool {

bool CanCheckSignatures()
{
    return false;
}

SignatureCheck CheckSignature(format::ByteView, const format::CertificateTable&)
{
    return {SignatureVerdict::NotChecked, "this build of the tool cannot check signatures", "", false};
}

} // namespace mendsmith::tool
