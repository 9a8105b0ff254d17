#include "format/signature.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core/constants.h"

namespace mendsmith::format {

namespace {

std::uint16_t LoadU16(ByteView data, std::size_t offset)
{
    return static_cast<std::uint16_t>(data[offset] | data[offset + 1] << 8);
}

// Where the optional header keeps the count of data directories and the first of them, by its magic.
struct OptionalHeaderShape {
    std::uint16_t magic;
    std::size_t directoryCount;
    std::size_t directories;
};
constexpr std::array<OptionalHeaderShape, 2> kShapes = {{{0x10B, 92, 96}, {0x20B, 108, 112}}};
constexpr std::size_t kSecurityDirectory = 4;
constexpr std::size_t kChecksumOffset = 64; // in the optional header, of either shape

// Where the security directory entry and the header checksum lie, and what the entry says.
struct SecurityEntry {
    std::size_t at;       // file offset of the 8-byte directory entry
    std::size_t checksum; // file offset of the header checksum
    std::uint32_t offset;
    std::uint32_t size;
};

// The security directory entry, or none for an image without a PE header or one.
std::optional<SecurityEntry> SecurityDirectory(ByteView image)
{
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z')
        return std::nullopt;
    std::size_t pe = LoadU32(image, 0x3C);
    if (pe > image.size() || image.size() - pe < 26 || LoadU32(image, pe) != 0x00004550u)
        return std::nullopt;
    const std::size_t optional = pe + 24;
    const std::size_t optionalSize = LoadU16(image, pe + 20);
    const std::uint16_t magic = LoadU16(image, optional);
    for (const OptionalHeaderShape& shape : kShapes) {
        if (shape.magic != magic)
            continue;
        const std::size_t entry = shape.directories + 8 * kSecurityDirectory;
        if (optionalSize < entry + 8 || image.size() - optional < entry + 8 ||
            LoadU32(image, optional + shape.directoryCount) <= kSecurityDirectory)
            return std::nullopt;
        return SecurityEntry{optional + entry, optional + kChecksumOffset, LoadU32(image, optional + entry),
                             LoadU32(image, optional + entry + 4)};
    }
    return std::nullopt;
}

// One DER element: its tag, its content, and all of it with tag and length.
struct Element {
    std::uint8_t tag = 0;
    ByteView content;
    ByteView whole;
};

constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kOctetString = 0x04;
constexpr std::uint8_t kOid = 0x06;
constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kSet = 0x31;
constexpr std::uint8_t kContext0 = 0xA0;
constexpr std::uint8_t kContext1 = 0xA1;

// Reads the elements of one constructed element in turn. Only definite lengths, which is all a
// DER encoder writes.
class DerReader {
public:
    explicit DerReader(ByteView bytes) : rest_(bytes) {}

    bool AtEnd() const { return rest_.empty(); }
    std::uint8_t PeekTag() const { return rest_.empty() ? 0 : rest_[0]; }

    Element Next()
    {
        if (rest_.size() < 2)
            throw FormatError("signature: an element is cut short");
        std::size_t length = rest_[1];
        std::size_t header = 2;
        if ((rest_[0] & 0x1F) == 0x1F)
            throw FormatError("signature: a tag of more than one byte");
        if (length == 0x80)
            throw FormatError("signature: an element of indefinite length");
        if (length > 0x80) {
            std::size_t lengthBytes = length - 0x80;
            if (lengthBytes > 4 || rest_.size() - 2 < lengthBytes)
                throw FormatError("signature: an element length is cut short or too long");
            length = 0;
            for (std::size_t i = 0; i < lengthBytes; i++)
                length = length << 8 | rest_[2 + i];
            header += lengthBytes;
        }
        if (rest_.size() - header < length)
            throw FormatError("signature: an element reaches past its container");
        Element element{rest_[0], rest_.subspan(header, length), rest_.first(header + length)};
        rest_ = rest_.subspan(header + length);
        return element;
    }

    Element Expect(std::uint8_t tag, const char* what)
    {
        Element element = Next();
        if (element.tag != tag)
            throw FormatError(std::string("signature: ") + what + " is not where it belongs");
        return element;
    }

private:
    ByteView rest_;
};

bool Same(ByteView a, ByteView b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

void AppendUtf8(std::string& out, std::uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// A directory string as UTF-8: BMPString is UTF-16 big-endian, the others are taken as they are.
// Control characters become '?', so that a name cannot steer a terminal.
std::string DirectoryString(const Element& value)
{
    std::string out;
    if (value.tag == 0x1E) {
        for (std::size_t i = 0; i + 1 < value.content.size(); i += 2)
            AppendUtf8(out, static_cast<std::uint32_t>(value.content[i] << 8 | value.content[i + 1]));
    } else {
        out.assign(value.content.begin(), value.content.end());
    }
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

// The common name (2.5.4.3) in a Name, empty when it has none.
std::string CommonName(ByteView name)
{
    static constexpr std::uint8_t kCommonName[] = {0x55, 0x04, 0x03};
    DerReader names(name);
    while (!names.AtEnd()) {
        DerReader set(names.Expect(kSet, "a name part").content);
        while (!set.AtEnd()) {
            DerReader attribute(set.Expect(kSequence, "a name attribute").content);
            Element type = attribute.Expect(kOid, "a name attribute type");
            if (Same(type.content, kCommonName))
                return DirectoryString(attribute.Next());
        }
    }
    return "";
}

struct SignerId {
    ByteView issuer; // whole Name
    ByteView serial; // whole INTEGER
};

// The subject common name of the certificate that the signer identifier names.
std::string SignerName(ByteView certificates, const SignerId& signer)
{
    DerReader list(certificates);
    while (!list.AtEnd()) {
        Element certificate = list.Next();
        if (certificate.tag != kSequence)
            continue;
        DerReader tbs(DerReader(certificate.content).Expect(kSequence, "a certificate body").content);
        if (tbs.PeekTag() == kContext0)
            tbs.Next();
        Element serial = tbs.Expect(kInteger, "a certificate serial number");
        tbs.Expect(kSequence, "a certificate signature algorithm");
        Element issuer = tbs.Expect(kSequence, "a certificate issuer");
        tbs.Expect(kSequence, "a certificate validity");
        Element subject = tbs.Expect(kSequence, "a certificate subject");
        if (Same(issuer.whole, signer.issuer) && Same(serial.whole, signer.serial)) {
            std::string name = CommonName(subject.content);
            if (name.empty())
                throw FormatError("signature: the signer certificate's subject has no common name");
            return name;
        }
    }
    throw FormatError("signature: the signer certificate is not in the signature");
}

} // namespace

std::string ReadSigner(ByteView pkcs7)
{
    static constexpr std::uint8_t kSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    DerReader contentInfo(DerReader(pkcs7).Expect(kSequence, "the content info").content);
    if (!Same(contentInfo.Expect(kOid, "the content type").content, kSignedData))
        throw FormatError("signature: the content is not PKCS#7 signed data");
    DerReader explicitContent(contentInfo.Expect(kContext0, "the signed data").content);
    DerReader signedData(explicitContent.Expect(kSequence, "the signed data").content);
    signedData.Expect(kInteger, "the signed data version");
    signedData.Expect(kSet, "the digest algorithms");
    signedData.Expect(kSequence, "the signed content");
    ByteView certificates;
    if (signedData.PeekTag() == kContext0)
        certificates = signedData.Next().content;
    if (signedData.PeekTag() == kContext1)
        signedData.Next();
    DerReader signerInfos(signedData.Expect(kSet, "the signer infos").content);
    DerReader signerInfo(signerInfos.Expect(kSequence, "the signer info").content);
    signerInfo.Expect(kInteger, "the signer info version");
    if (signerInfo.PeekTag() != kSequence)
        throw FormatError("signature: the signer is named by a key identifier, not by issuer and serial number");
    DerReader issuerAndSerial(signerInfo.Next().content);
    SignerId id;
    id.issuer = issuerAndSerial.Expect(kSequence, "the signer's issuer").whole;
    id.serial = issuerAndSerial.Expect(kInteger, "the signer's serial number").whole;
    return SignerName(certificates, id);
}

std::optional<CertificateTable> FindCertificateTable(ByteView image)
{
    std::optional<SecurityEntry> directory = SecurityDirectory(image);
    if (!directory || directory->size == 0)
        return std::nullopt;
    auto [offset, size] = std::pair{directory->offset, directory->size};
    const std::string where = "certificate table at " + HexOffset(offset) + " (" + std::to_string(size) + " bytes)";
    if (offset > image.size() || image.size() - offset != size)
        throw FormatError(where + " does not end the image of " + std::to_string(image.size()) + " bytes");
    if (offset % 8 != 0 || offset < PACKAGE_OFFSET)
        throw FormatError(where + " does not start on an 8-byte boundary after the package offset");
    return CertificateTable{offset, size};
}

ByteView PackageArea(ByteView image)
{
    std::optional<CertificateTable> table = FindCertificateTable(image);
    return table ? image.first(table->offset) : image;
}

std::vector<ByteView> DigestedRanges(ByteView image)
{
    std::optional<SecurityEntry> directory = SecurityDirectory(image);
    if (!directory)
        throw FormatError("the image has no PE header with a security directory");
    const ByteView signedPart = PackageArea(image);
    return {signedPart.first(directory->checksum),
            signedPart.subspan(directory->checksum + 4, directory->at - directory->checksum - 4),
            signedPart.subspan(directory->at + 8)};
}

ByteView FirstSignature(ByteView image, const CertificateTable& table)
{
    constexpr std::uint16_t kRevision2 = 0x0200;
    constexpr std::uint16_t kPkcsSignedData = 0x0002;
    ByteView bytes = image.subspan(table.offset, table.size);
    if (bytes.size() < 8)
        throw FormatError("signature: the certificate table has no room for an entry header");
    std::uint32_t length = LoadU32(bytes, 0);
    if (length < 8 || length > bytes.size())
        throw FormatError("signature: the first certificate entry's length " + std::to_string(length) +
                          " does not fit the table");
    if (LoadU16(bytes, 4) != kRevision2 || LoadU16(bytes, 6) != kPkcsSignedData)
        throw FormatError("signature: the first certificate entry is not a PKCS#7 signature");
    return bytes.subspan(8, length - 8);
}

SignedContent ReadSignedContent(ByteView pkcs7)
{
    static constexpr std::uint8_t kIndirectData[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
    DerReader contentInfo(DerReader(pkcs7).Expect(kSequence, "the content info").content);
    contentInfo.Expect(kOid, "the content type");
    DerReader explicitContent(contentInfo.Expect(kContext0, "the signed data").content);
    DerReader signedData(explicitContent.Expect(kSequence, "the signed data").content);
    signedData.Expect(kInteger, "the signed data version");
    signedData.Expect(kSet, "the digest algorithms");
    DerReader encapsulated(signedData.Expect(kSequence, "the signed content").content);
    if (!Same(encapsulated.Expect(kOid, "the signed content type").content, kIndirectData))
        throw FormatError("signature: the signed content is not an Authenticode file digest");
    DerReader wrapper(encapsulated.Expect(kContext0, "the file digest").content);
    Element indirect = wrapper.Expect(kSequence, "the file digest");
    DerReader fields(indirect.content);
    fields.Expect(kSequence, "the digested data's kind");
    DerReader digestInfo(fields.Expect(kSequence, "the digest info").content);
    DerReader algorithm(digestInfo.Expect(kSequence, "the digest algorithm").content);
    SignedContent result;
    result.signedBytes = indirect.content;
    result.digestAlgorithm = algorithm.Expect(kOid, "the digest algorithm").whole;
    result.digest = digestInfo.Expect(kOctetString, "the file digest").content;
    return result;
}

std::optional<SignatureInfo> ReadSignature(ByteView image)
{
    std::optional<CertificateTable> table = FindCertificateTable(image);
    if (!table)
        return std::nullopt;
    SignatureInfo info{*table, "", ""};
    try {
        info.signer = ReadSigner(FirstSignature(image, *table));
    } catch (const FormatError& e) {
        info.problem = e.what();
    }
    return info;
}

} // namespace mendsmith::format
