// Authenticode checks with libcrypto: the digest of the file as it is now against the one in the
// signature, then the signer's signature over that digest. libcrypto is opened by the first check,
// not linked: loaded at start it costs every run of the tool, a build above all, a megabyte or
// more of resident memory for this one command.
#include "tool/commands/signature_check.h"

#include <dlfcn.h>

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

// The calls the check makes, by their libcrypto names; the header macros over them (the stack,
// memory BIO, PKCS#7 type and digest-by-object ones) are spelled out where they are used.
#define MENDSMITH_CRYPTO_CALLS(X) \
    X(ASN1_OBJECT_free) \
    X(ASN1_STRING_to_UTF8) \
    X(BIO_ctrl) \
    X(BIO_free) \
    X(BIO_new) \
    X(BIO_new_mem_buf) \
    X(BIO_s_mem) \
    X(CRYPTO_free) \
    X(d2i_ASN1_OBJECT) \
    X(d2i_PKCS7) \
    X(ERR_clear_error) \
    X(ERR_error_string_n) \
    X(ERR_get_error) \
    X(EVP_DigestFinal_ex) \
    X(EVP_DigestInit_ex) \
    X(EVP_DigestUpdate) \
    X(EVP_get_digestbyname) \
    X(EVP_MD_CTX_free) \
    X(EVP_MD_CTX_new) \
    X(EVP_MD_get_size) \
    X(OBJ_nid2sn) \
    X(OBJ_obj2nid) \
    X(OPENSSL_sk_free) \
    X(OPENSSL_sk_num) \
    X(OPENSSL_sk_value) \
    X(PKCS7_free) \
    X(PKCS7_get0_signers) \
    X(PKCS7_verify) \
    X(X509_get_issuer_name) \
    X(X509_NAME_ENTRY_get_data) \
    X(X509_NAME_get_entry) \
    X(X509_NAME_get_index_by_NID) \
    X(X509_NAME_print_ex) \
    X(X509_self_signed) \
    X(X509_STORE_free) \
    X(X509_STORE_new)

struct Crypto {
#define MENDSMITH_CRYPTO_POINTER(name) decltype(&::name) name = nullptr;
    MENDSMITH_CRYPTO_CALLS(MENDSMITH_CRYPTO_POINTER)
#undef MENDSMITH_CRYPTO_POINTER
};

// libcrypto's calls, or none when the library or one of them cannot be found. Opened once and
// kept for the life of the process.
const Crypto* LoadCrypto()
{
    static const std::optional<Crypto> crypto = []() -> std::optional<Crypto> {
        void* library = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            return std::nullopt;
        Crypto calls;
        bool found = true;
#define MENDSMITH_CRYPTO_LOOKUP(name) \
    calls.name = reinterpret_cast<decltype(calls.name)>(dlsym(library, #name)); \
    found = found && calls.name != nullptr;
        MENDSMITH_CRYPTO_CALLS(MENDSMITH_CRYPTO_LOOKUP)
#undef MENDSMITH_CRYPTO_LOOKUP
        if (!found) {
            dlclose(library);
            return std::nullopt;
        }
        return calls;
    }();
    return crypto ? &*crypto : nullptr;
}

const Crypto& Calls()
{
    return *LoadCrypto();
}

template <auto Free> struct Deleter {
    template <typename T> void operator()(T* p) const { (Calls().*Free)(p); }
};
using Pkcs7 = std::unique_ptr<PKCS7, Deleter<&Crypto::PKCS7_free>>;
using Bio = std::unique_ptr<BIO, Deleter<&Crypto::BIO_free>>;
using Store = std::unique_ptr<X509_STORE, Deleter<&Crypto::X509_STORE_free>>;
struct FreeStack {
    void operator()(STACK_OF(X509) * stack) const { Calls().OPENSSL_sk_free(reinterpret_cast<OPENSSL_STACK*>(stack)); }
};
using Signers = std::unique_ptr<STACK_OF(X509), FreeStack>;
using Object = std::unique_ptr<ASN1_OBJECT, Deleter<&Crypto::ASN1_OBJECT_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<&Crypto::EVP_MD_CTX_free>>;

// The reason libcrypto gave last, and its queue left empty for the next call.
std::string LastCryptoError()
{
    const Crypto& c = Calls();
    unsigned long code = c.ERR_get_error();
    c.ERR_clear_error();
    if (code == 0)
        return "no reason given";
    char text[256];
    c.ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string NameOf(X509_NAME* name)
{
    const Crypto& c = Calls();
    int at = c.X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (at >= 0) {
        unsigned char* utf8 = nullptr;
        int length = c.ASN1_STRING_to_UTF8(&utf8, c.X509_NAME_ENTRY_get_data(c.X509_NAME_get_entry(name, at)));
        if (length >= 0) {
            std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
            c.CRYPTO_free(utf8, __FILE__, __LINE__);
            for (char& ch : text)
                if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F)
                    ch = '?';
            return text;
        }
    }
    Bio out(c.BIO_new(c.BIO_s_mem()));
    c.X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    long length = c.BIO_ctrl(out.get(), BIO_CTRL_INFO, 0, reinterpret_cast<char*>(&data));
    return std::string(data, static_cast<std::size_t>(length > 0 ? length : 0));
}

// The digest of the file as it stands, by the algorithm the signature names.
std::optional<format::Bytes> DigestOfFile(format::ByteView image, format::ByteView algorithm)
{
    const Crypto& c = Calls();
    const unsigned char* at = algorithm.data();
    Object object(c.d2i_ASN1_OBJECT(nullptr, &at, static_cast<long>(algorithm.size())));
    const EVP_MD* md = object ? c.EVP_get_digestbyname(c.OBJ_nid2sn(c.OBJ_obj2nid(object.get()))) : nullptr;
    if (!md)
        return std::nullopt;
    DigestContext context(c.EVP_MD_CTX_new());
    c.EVP_DigestInit_ex(context.get(), md, nullptr);
    for (format::ByteView range : format::DigestedRanges(image))
        c.EVP_DigestUpdate(context.get(), range.data(), range.size());
    format::Bytes digest(static_cast<std::size_t>(c.EVP_MD_get_size(md)));
    unsigned int length = 0;
    c.EVP_DigestFinal_ex(context.get(), digest.data(), &length);
    return digest;
}

} // namespace

bool CanCheckSignatures()
{
    return LoadCrypto() != nullptr;
}

SignatureCheck CheckSignature(format::ByteView image, const format::CertificateTable& table)
{
    SignatureCheck check;
    if (LoadCrypto() == nullptr) {
        check.problem = "libcrypto (libcrypto.so.3, OpenSSL 3) cannot be loaded, so signatures cannot be checked";
        return check;
    }
    const Crypto& c = Calls();
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
    Pkcs7 pkcs7(c.d2i_PKCS7(nullptr, &at, static_cast<long>(blob.size())));
    if (!pkcs7 || c.OBJ_obj2nid(pkcs7->type) != NID_pkcs7_signed) {
        check.problem = "the signature does not decode as PKCS#7 signed data (" + LastCryptoError() + ")";
        return check;
    }
    Signers signers(c.PKCS7_get0_signers(pkcs7.get(), nullptr, 0));
    if (signers && c.OPENSSL_sk_num(reinterpret_cast<const OPENSSL_STACK*>(signers.get())) > 0) {
        X509* signer = static_cast<X509*>(c.OPENSSL_sk_value(reinterpret_cast<const OPENSSL_STACK*>(signers.get()), 0));
        check.issuer = NameOf(c.X509_get_issuer_name(signer));
        check.selfSigned = c.X509_self_signed(signer, 1) == 1;
    }
    c.ERR_clear_error();

    // The signature first: it says whether the digest inside is the signer's at all.
    Bio signedBytes(c.BIO_new_mem_buf(content.signedBytes.data(), static_cast<int>(content.signedBytes.size())));
    Store noTrust(c.X509_STORE_new());
    if (c.PKCS7_verify(pkcs7.get(), nullptr, noTrust.get(), signedBytes.get(), nullptr,
                       PKCS7_NOVERIFY | PKCS7_BINARY) != 1) {
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
