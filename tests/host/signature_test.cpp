// Signed updaters: osslsigncode's verdict on what `build --sign` writes, the reader that finds the
// package before the certificate table and names the signer, and the refusals that write nothing.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "format/record.h"
#include "format/signature.h"
#include "format/updater_image.h"
#include "support/signing.h"
#include "tool/commands/inspect.h"
#include "tool_test_support.h"

using namespace mendsmith;
using namespace mendsmith::test;

namespace {

// One certificate and one workspace for the whole suite: the real i686 stub, app.exe changed.
class SignedUpdater : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!fs::exists(MENDSMITH_STUB_PATH))
            return;
        kit_ = new ScratchDir;
        work_ = new Workspace;
        work_->Old("app.exe", std::string(5000, 'a') + "1.0");
        work_->New("app.exe", std::string(5000, 'a') + "1.1");
        ready_ =
            MakeSigningCertificate(kit_->path()) &&
            Build("--sign " + Quoted(*kit_ / "signer.pfx") + " --sign-password-file " + Quoted(*kit_ / "password.txt"),
                  "signed.exe")
                    .exitCode == 0 &&
            Build("", "unsigned.exe").exitCode == 0;
    }
    static void TearDownTestSuite()
    {
        delete work_;
        delete kit_;
    }
    void SetUp() override
    {
        if (!fs::exists(MENDSMITH_STUB_PATH))
            GTEST_SKIP() << "no i686 stub at " MENDSMITH_STUB_PATH "; build the win32 tree";
        ASSERT_TRUE(ready_) << "the certificate or the updaters could not be made";
    }

    static CommandResult Build(const std::string& extra, const std::string& output, const std::string& environment = "")
    {
        const Workspace& w = *work_;
        return RunCommand(environment + " " MENDSMITH_TOOL_PATH " build " + Quoted(w.dir / "old") + " " +
                          Quoted(w.dir / "new") + " --setup " + Quoted(w.dir / "Update.ini") +
                          " --stub " MENDSMITH_STUB_PATH " --quiet -o " + Quoted(w.dir / output) + " " + extra);
    }
    static fs::path In(const std::string& name) { return work_->dir / name; }
    static fs::path Kit(const std::string& name) { return *kit_ / name; }

    static inline ScratchDir* kit_ = nullptr;
    static inline Workspace* work_ = nullptr;
    static inline bool ready_ = false;
};

TEST_F(SignedUpdater, OsslsigncodeVerifiesItAndRejectsItWithAnyByteChanged)
{
    auto verify = [](const fs::path& file) {
        return RunCommand("osslsigncode verify -CAfile " + Quoted(Kit("signer.pem")) + " -in " + Quoted(file));
    };
    CommandResult intact = verify(In("signed.exe"));
    EXPECT_EQ(intact.exitCode, 0) << intact.output;

    const format::Bytes image = tool::ReadWholeFile(In("signed.exe"));
    const auto records = format::ListRecords(image);
    ASSERT_EQ(records.size(), 2u);
    const std::pair<const char*, std::size_t> places[] = {
        {"the stub's code", 0x400},
        {"record 1's stream", records[0].offset + 20},
        {"record 2's last byte", records[1].offset + 3 + records[1].length},
    };
    for (const auto& [what, offset] : places) {
        format::Bytes changed = image;
        changed[offset] ^= 0x01;
        tool::WriteWholeFile(In("changed.exe"), changed);
        EXPECT_NE(verify(In("changed.exe")).exitCode, 0) << what;
    }
}

TEST_F(SignedUpdater, ReadsBackAsTheUpdaterBuiltAndInspectChecksItsSignature)
{
    const format::Bytes signedImage = tool::ReadWholeFile(In("signed.exe"));
    const format::Bytes unsignedImage = tool::ReadWholeFile(In("unsigned.exe"));
    EXPECT_EQ(format::ReadUpdaterImage(signedImage), format::ReadUpdaterImage(unsignedImage));
    EXPECT_FALSE(format::ReadSignature(unsignedImage));

    std::optional<format::SignatureInfo> signature = format::ReadSignature(signedImage);
    ASSERT_TRUE(signature);
    EXPECT_EQ(signature->signer, kTestSigner) << signature->problem;
    EXPECT_EQ(signature->table.offset + signature->table.size, signedImage.size());

    // The verdict for the image as signed, with one byte of the stub's code changed, with one
    // byte of the signer's signature changed, and without a signature.
    format::Bytes changedCode = signedImage;
    changedCode[0x400] ^= 0x01;
    format::Bytes changedSignature = signedImage;
    changedSignature[signedImage.size() - 100] ^= 0x01;
    const std::string certificate = std::string(kTestSigner) + ", certificate self-signed";
    struct Case {
        const char* name;
        const format::Bytes& image;
        const char* verdict;
        std::string text;
    } cases[] = {
        {"as signed", signedImage, "valid", "signature: Authenticode, valid; signed by " + certificate + "; "},
        {"code changed", changedCode, "invalid",
         "signature: Authenticode, invalid (the file's digest differs from the signed one: the file was changed "
         "after signing); signer named " +
             certificate + "; "},
        {"signature changed", changedSignature, "invalid",
         "signature: Authenticode, invalid (the signer's signature does not match what it signs ("},
        {"unsigned", unsignedImage, "unsigned", "signature: unsigned\n"},
    };
    tool::CodePage codePage(1252);
    for (const Case& c : cases) {
        tool::Inspection inspection = tool::Inspect(c.image, codePage);
        const std::string text = tool::RenderText(inspection);
        EXPECT_NE(text.find(c.text), std::string::npos) << c.name << "\n" << text;
        auto json = nlohmann::json::parse(tool::RenderJson(inspection));
        EXPECT_EQ(json["signature"]["verdict"], c.verdict) << c.name;
        if (c.verdict != std::string("unsigned")) {
            EXPECT_EQ(json["signature"]["signer"], kTestSigner) << c.name;
            EXPECT_EQ(json["signature"]["issuer"], kTestSigner) << c.name;
            EXPECT_EQ(json["signature"]["self_signed"], true) << c.name;
            EXPECT_EQ(json["signature"]["certificate_table"]["offset"], signature->table.offset) << c.name;
        }
        EXPECT_EQ(json["signature"].contains("problem"), c.verdict == std::string("invalid")) << c.name;
    }

    // A certificate issued by an authority is named by its issuer, trusted or not.
    ScratchDir issuedKit;
    ASSERT_TRUE(MakeSigningCertificate(issuedKit.path(), Issuer::Authority));
    CommandResult issued = Build("--sign " + Quoted(issuedKit / "signer.pfx") + " --sign-password-file " +
                                     Quoted(issuedKit / "password.txt"),
                                 "issued.exe");
    ASSERT_EQ(issued.exitCode, 0) << issued.output;
    EXPECT_NE(tool::RenderText(tool::Inspect(tool::ReadWholeFile(In("issued.exe")), codePage))
                  .find(std::string("signature: Authenticode, valid; signed by ") + kTestSigner +
                        ", certificate issued by " + kTestAuthority + "; "),
              std::string::npos);

    CommandResult verify =
        RunCommand(MENDSMITH_TOOL_PATH " verify " + Quoted(In("signed.exe")) + " " + Quoted(work_->dir / "old"));
    EXPECT_EQ(verify.exitCode, 0) << verify.output;
    EXPECT_NE(verify.output.find("the run would complete"), std::string::npos) << verify.output;
}

TEST_F(SignedUpdater, RefusesWhatCannotBeSignedAndLeavesNoFileBehind)
{
    WriteText(Kit("wrong.txt"), "not the password\n");
    ScratchDir emptyPath;
    ScratchDir temp;
    struct Case {
        const char* what;
        std::string arguments;
        std::string environment;
        const char* message;
    };
    const std::string pfx = " --sign " + Quoted(Kit("signer.pfx"));
    const Case cases[] = {
        {"no osslsigncode", pfx, "PATH=" + emptyPath.path().string(), "osslsigncode is not installed"},
        {"wrong password", pfx + " --sign-password-file " + Quoted(Kit("wrong.txt")), "", "Wrong password?"},
        {"not a .pfx", " --sign " + Quoted(Kit("signer.pem")) + " --sign-password-file " + Quoted(Kit("password.txt")),
         "", "cannot sign with"},
        {"password without certificate", " --sign-password-file " + Quoted(Kit("password.txt")), "", "requires --sign"},
    };
    for (const Case& c : cases) {
        CommandResult result =
            Build(c.arguments, "refused.exe", "TMPDIR=" + temp.path().string() + " " + c.environment);
        EXPECT_EQ(result.exitCode, 1) << c.what << ": " << result.output;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << c.what << ": " << result.output;
        EXPECT_FALSE(fs::exists(In("refused.exe"))) << c.what;
        EXPECT_FALSE(fs::exists(In("refused.exe.part"))) << c.what;
        EXPECT_TRUE(fs::is_empty(temp.path())) << c.what;
    }
}

// A table that is not the image's last bytes, or starts inside the stub or off the 8-byte grid,
// cannot be told from the package; a damaged signature still leaves the package readable, with
// the reason in place of the signer.
TEST_F(SignedUpdater, CertificateTablesThatDoNotEndTheImageAreRefused)
{
    const format::Bytes image = tool::ReadWholeFile(In("signed.exe"));
    const std::size_t entry = SecurityDirectoryEntry(image);
    const std::uint32_t offset = format::LoadU32(image, entry);
    const std::uint32_t size = format::LoadU32(image, entry + 4);
    struct Case {
        const char* what;
        std::uint32_t offset;
        std::uint32_t size;
        std::size_t extraBytes;
        const char* message;
    };
    const Case cases[] = {
        {"bytes after the table", offset, size, 8, "does not end the image"},
        {"table shorter than the rest", offset + 8, size - 16, 0, "does not end the image"},
        {"table past the end", offset, size + 8, 0, "does not end the image"},
        {"offset off the grid", offset - 4, size + 4, 0, "8-byte boundary"},
        {"offset inside the stub", 0x7000, static_cast<std::uint32_t>(image.size() - 0x7000), 0, "8-byte boundary"},
    };
    for (const Case& c : cases) {
        format::Bytes changed = image;
        format::StoreU32(changed, entry, c.offset);
        format::StoreU32(changed, entry + 4, c.size);
        changed.insert(changed.end(), c.extraBytes, 0);
        try {
            format::ReadUpdaterImage(changed);
            ADD_FAILURE() << c.what << ": read";
        } catch (const format::FormatError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.what << ": " << e.what();
        }
    }

    const format::UpdaterFiles files = format::ReadUpdaterImage(image);
    std::mt19937 rng(7);
    for (int round = 0; round < 300; round++) {
        format::Bytes changed = image;
        for (int flips = 1 + round % 4; flips > 0; flips--)
            changed[offset + rng() % size] = static_cast<std::uint8_t>(rng());
        if (round == 0)
            changed[offset + 6] = 0x01; // a bare X.509 certificate, no PKCS#7 signature
        std::optional<format::SignatureInfo> signature = format::ReadSignature(changed);
        ASSERT_TRUE(signature) << "round " << round;
        EXPECT_NE(signature->signer.empty(), signature->problem.empty()) << "round " << round;
        if (round == 0) {
            EXPECT_NE(signature->problem.find("not a PKCS#7 signature"), std::string::npos) << signature->problem;
        }
        EXPECT_EQ(format::ReadUpdaterImage(changed), files) << "round " << round;
    }
}

} // namespace
