// An Authenticode signature on an updater: a certificate table that a signing tool appends
// after the package, named by the PE header's security directory, and the signer it names.
#ifndef MENDSMITH_FORMAT_SIGNATURE_H
#define MENDSMITH_FORMAT_SIGNATURE_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "format/bytes.h"

namespace mendsmith::format {

struct CertificateTable {
    std::size_t offset; // file offset, a multiple of 8
    std::size_t size;   // up to the end of the image
};

// The certificate table of a signed image; none when the image has no PE header or its
// security directory is empty. Throws FormatError when the directory names bytes that are not
// the last of the image, since then the package and the signature cannot be told apart.
std::optional<CertificateTable> FindCertificateTable(ByteView image);

// The bytes a package walk may look at: the whole image, or those before the certificate table.
ByteView PackageArea(ByteView image);

// The bytes an Authenticode digest covers, in order: everything before the certificate table but
// the PE header's checksum and the security directory entry (the signing tool fills both in
// after it has hashed the file). Throws FormatError for an image without a PE header.
std::vector<ByteView> DigestedRanges(ByteView image);

// The certificate table's first entry: its PKCS#7 SignedData (DER). Throws FormatError when the
// entry header is cut short or names another kind of certificate.
ByteView FirstSignature(ByteView image, const CertificateTable& table);

// What an Authenticode signature says of the file: the digest of its DigestedRanges and the
// algorithm that made it, inside the content that the signer signed.
struct SignedContent {
    ByteView signedBytes;     // the file-digest structure's contents, over which the signature runs
    ByteView digestAlgorithm; // the algorithm's OBJECT IDENTIFIER, with tag and length
    ByteView digest;
};

// Throws FormatError saying where the PKCS#7 blob is not an Authenticode signature.
SignedContent ReadSignedContent(ByteView pkcs7);

struct SignatureInfo {
    CertificateTable table;
    // The signer certificate's subject common name; empty when the table could not be read
    // that far, and problem then says why.
    std::string signer;
    std::string problem;
};

// The subject common name of the signer certificate in a PKCS#7 SignedData blob (DER), found
// through the first signer's issuer and serial number. Throws FormatError saying where it fails.
std::string ReadSigner(ByteView pkcs7);

// What the first entry of the certificate table says about its signer; none when unsigned.
// Throws FormatError only where FindCertificateTable does: a table that cannot be read is
// reported through problem, as the package itself is still usable.
std::optional<SignatureInfo> ReadSignature(ByteView image);

} // namespace mendsmith::format

#endif
