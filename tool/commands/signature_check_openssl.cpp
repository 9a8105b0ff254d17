// Authenticode checks with libcrypto: the digest of the file as it is now against the one in the
// signature, then the signer's signature over that digest.
#include "tool/commands/signature_check.h"

#include <algorithm>
#include <memory>
#include <optional>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "format/error.h"

namespace mendsmith::tool {

namespace {

template <auto Free> struct Deleter {
    template <typename T> void operator()(T* p) const { Free(p); }
};
using Pkcs7 = std::unique_ptr<PKCS7, Deleter<PKCS7_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free>>;
using Store = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
struct FreeStack {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using Signers = std::unique_ptr<STACK_OF(X509), FreeStack>;
using Object = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;

// The reason libcrypto gave last, and its queue left empty for the next call.
std::string LastCryptoError()
{
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "no reason given";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string NameOf(X509_NAME* name)
{
    int at = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (at >= 0) {
        unsigned char* utf8 = nullptr;
        int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at)));
        if (length >= 0) {
            std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
            OPENSSL_free(utf8);
            for (char& c : text)
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                    c = '?';
            return text;
        }
    }
    Bio out(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    long length = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<std::size_t>(length > 0 ? length : 0));
}

// The digest of the file as it stands, by the algorithm the signature names.
std::optional<format::Bytes> DigestOfFile(format::ByteView image, format::ByteView algorithm)
{
    const unsigned char* at = algorithm.data();
    Object object(d2i_ASN1_OBJECT(nullptr, &at, static_cast<long>(algorithm.size())));
    const EVP_MD* md = object ? EVP_get_digestbyobj(object.get()) : nullptr;
    if (!md)
        return std::nullopt;
    DigestContext context(EVP_MD_CTX_new());
    EVP_DigestInit_ex(context.get(), md, nullptr);
    for (format::ByteView range : format::DigestedRanges(image))
        EVP_DigestUpdate(context.get(), range.data(), range.size());
    format::Bytes digest(static_cast<std::size_t>(EVP_MD_get_size(md)));
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest.data(), &length);
    return digest;
}

} // namespace

bool CanCheckSignatures()
{
    return true;
}

SignatureCheck CheckSignature(format::ByteView image, const format::CertificateTable& table)
{
    SignatureCheck check;
    check.verdict = SignatureVerdict::Invalid;
    format::ByteView blob;
    format::SignedContent content;
    try {
        blob = format::FirstSignature(image, table);
        content = format::ReadSignedContent(blob);
    } catch (const format::FormatError& e) {
        check.problem = e.what();
        return check;
    }
    const unsigned char* at = blob.data();
    Pkcs7 pkcs7(d2i_PKCS7(nullptr, &at, static_cast<long>(blob.size())));
    if (!pkcs7 || !PKCS7_type_is_signed(pkcs7.get())) {
        check.problem = "the signature does not decode as PKCS#7 signed data (" + LastCryptoError() + ")";
        return check;
    }
    Signers signers(PKCS7_get0_signers(pkcs7.get(), nullptr, 0));
    if (signers && sk_X509_num(signers.get()) > 0) {
        X509* signer = sk_X509_value(signers.get(), 0);
        check.issuer = NameOf(X509_get_issuer_name(signer));
        check.selfSigned = X509_self_signed(signer, 1) == 1;
    }
    ERR_clear_error();

    // The signature first: it says whether the digest inside is the signer's at all.
    Bio signedBytes(BIO_new_mem_buf(content.signedBytes.data(), static_cast<int>(content.signedBytes.size())));
    Store noTrust(X509_STORE_new());
    if (PKCS7_verify(pkcs7.get(), nullptr, noTrust.get(), signedBytes.get(), nullptr, PKCS7_NOVERIFY | PKCS7_BINARY) !=
        1) {
        check.problem = "the signer's signature does not match what it signs (" + LastCryptoError() + ")";
        return check;
    }
    std::optional<format::Bytes> digest = DigestOfFile(image, content.digestAlgorithm);
    if (!digest) {
        check.problem = "the signature names a digest algorithm this tool does not know";
        return check;
    }
    if (!std::equal(digest->begin(), digest->end(), content.digest.begin(), content.digest.end())) {
        check.problem = "the file's digest differs from the signed one: the file was changed after signing";
        return check;
    }
    check.verdict = SignatureVerdict::Valid;
    return check;
}

} // namespace mendsmith::tool
