// Released firmware only: a folder signed with `romlift-cli release sign` and keys the openssl
// program made, real files changed the ways a share or a careless copy changes them, and a
// virtual unit that must never be woken for an image that is refused.
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli_fixture.h"

namespace romlift::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;

constexpr const char* kImageName = "PLQ5A_v2.abs";  // an image of kModel

Outcome Openssl(const std::vector<std::string>& args) {
    return RunTool(RunSpec{args, {}, "/usr/bin/openssl"});
}

// The first 16 hex digits of the SHA-256 of the raw public key in `pem`, as openssl and
// sha256sum work it out: the key id the record and `release verify` must give.
std::string KeyIdByOpenssl(const fs::path& pem) {
    const Outcome der =
        Openssl({"pkey", "-pubin", "-in", pem.string(), "-outform", "DER", "-out", "/dev/stdout"});
    EXPECT_EQ(der.exitStatus, 0) << der.err;
    const fs::path raw = pem.string() + ".raw";
    std::ofstream(raw, std::ios::binary) << der.out.substr(der.out.size() - 32);
    return RunTool(RunSpec{{raw.string()}, {}, "/usr/bin/sha256sum"}).out.substr(0, 16);
}

class Release : public CliFixture {
  protected:
    void SetUp() override {
        CliFixture::SetUp();
        fs::create_directories(dir_ / "keys");
        for (const char* name : {"admin", "stranger"}) {
            const std::string key = (dir_ / name).string() + ".pem";
            ASSERT_EQ(Openssl({"genpkey", "-algorithm", "ed25519", "-out", key}).exitStatus, 0);
        }
        ASSERT_EQ(Openssl({"pkey", "-in", (dir_ / "admin.pem").string(), "-pubout", "-out",
                           (dir_ / "keys" / "admin.pem").string()})
                      .exitStatus,
                  0);
    }

    // A drivers folder `name` with the model's image, signed by the administrator's key.
    fs::path SignedFolder(const std::string& name) {
        const fs::path folder = dir_ / name;
        fs::create_directories(folder);
        scratch_.Write(name + "/" + kImageName, Image(300));
        scratch_.Write(name + "/PLQ5A_v1.abs", Image(120, 7));
        const Outcome sign =
            RunCli({"release", "sign", "--key", (dir_ / "admin.pem").string(), folder.string()});
        EXPECT_EQ(sign.exitStatus, 0) << sign.err;
        signOutput_ = sign.out;
        return folder;
    }

    // The station's policy file, and the environment that points the tool at it.
    std::vector<std::string> Policy(const std::string& text) {
        const fs::path policy = dir_ / "policy.conf";
        std::ofstream(policy) << text;
        return OwnState({"ROMLIFT_POLICY=" + policy.string()});
    }
    std::string Strict() const {
        return "require_release = yes\nrelease_keys = " + (dir_ / "keys").string() + "\n";
    }

    json Rows(const std::vector<std::string>& env) {
        const Outcome o = RunTool(RunSpec{{"history", "--json"}, env});
        EXPECT_EQ(o.exitStatus, 0) << o.err;
        return json::parse(o.out);
    }

    std::string signOutput_;
};

// What an attempt on a changed folder comes to: each refusal is one line, exit status 2, and a
// unit never woken.
TEST_F(Release, OnlyAnImageOfATrustedSignedListReachesTheUnit) {
    struct Case {
        std::string what;
        std::function<void(const fs::path& folder)> change;
        std::string policy;             // added to the strict policy; "none" for no policy at all
        std::vector<std::string> args;  // after --port and --model, run in the folder
        std::string kind;               // the hint's; "" for a usage error before any attempt
        std::string said;
    };
    const auto nothing = [](const fs::path&) {};
    const std::vector<std::string> image = {"--model", kModel, "--image", kImageName};
    const std::vector<Case> cases = {
        {"one flipped byte, and no policy at all",
         [](const fs::path& f) {
             std::fstream(f / kImageName, std::ios::in | std::ios::out | std::ios::binary)
                 .seekp(150)
                 .put('\x7f');
         },
         "none", image, "release-mismatch",
         "is not the released PLQ5A_v2.abs: its SHA-256 differs from the one the release list "},
        {"an extra line in the list",
         [](const fs::path& f) {
             std::ofstream(f / "SHA256SUMS", std::ios::app)
                 << std::string(64, 'a') << "  PLQ5A_v9.abs\n";
         },
         "", image, "release-signature", "is not signed by a trusted key"},
        {"a signature by a key the station does not trust",
         [this](const fs::path& f) {
             ASSERT_EQ(
                 Openssl({"pkeyutl", "-sign", "-rawin", "-inkey", (dir_ / "stranger.pem").string(),
                          "-in", (f / "SHA256SUMS").string(), "-out",
                          (f / "SHA256SUMS.sig").string()})
                     .exitStatus,
                 0);
         },
         "", image, "release-signature", "is not signed by a trusted key"},
        {"a file that is not in the list",
         [](const fs::path& f) { fs::rename(f / kImageName, f / "PLQ5A_v3.abs"); },
         "",
         {"--model", kModel, "--image", "PLQ5A_v3.abs"},
         "release-unlisted",
         "PLQ5A_v3.abs is not in the release list "},
        {"an unsigned list", [](const fs::path& f) { fs::remove(f / "SHA256SUMS.sig"); }, "", image,
         "release-unsigned", "is not signed (no SHA256SUMS.sig beside it)"},
        {"another model's image named with --image",
         nothing,
         "none",
         {"--model", "VX7R-KT-125B-XXX", "--image", kImageName},
         "image-model",
         "is not named for the VX7R-KT-125B-XXX: its name does not begin with 125"},
        {"a flag that would send any image name",
         nothing,
         "",
         {"--model", kModel, "--image", kImageName, "--any-image-name"},
         "",
         "--any-image-name: the station's policy"},
        {"a flag that names another list than the policy's",
         [](const fs::path& f) { fs::copy_file(f / "SHA256SUMS", f / "mine"); },
         "release = SHA256SUMS\n",
         {"--model", kModel, "--image", kImageName, "--release", "mine"},
         "",
         "--release: the station's policy"},
    };
    auto& unit = StartUnit();
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path folder = SignedFolder("case" + std::to_string(++n));
        c.change(folder);
        const std::vector<std::string> env = Policy(c.policy == "none" ? "" : Strict() + c.policy);
        // Run in the folder, naming the image as an operator at the share would.
        RunSpec text{{"download", "--port", unit.DevicePath()}, env};
        text.args.insert(text.args.end(), c.args.begin(), c.args.end());
        text.cwd = folder.string();
        const Outcome o = RunTool(text);
        EXPECT_EQ(o.exitStatus, 2) << o.err;
        const std::vector<std::string> lines = Lines(o.err);
        ASSERT_FALSE(lines.empty());
        EXPECT_THAT(lines.back(), ::testing::StartsWith("romlift-cli: "));
        EXPECT_THAT(lines.back(), HasSubstr(c.said));
        EXPECT_EQ(Occurrences(o.err, "romlift-cli: "), 1u) << o.err;
        if (c.kind.empty()) {
            EXPECT_EQ(lines.size(), 1u) << "a usage error comes before any attempt";
            continue;
        }
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], "Download :Can not open file");

        RunSpec js = text;
        js.args.push_back("--json");
        const Outcome j = RunTool(js);
        EXPECT_EQ(j.exitStatus, 2);
        const std::vector<json> hints = Events(JsonLines(j.out), "hint");
        ASSERT_EQ(hints.size(), 1u) << j.out;
        EXPECT_EQ(hints[0]["kind"], c.kind);
        // The refused attempt is in the record, with no list or key that allowed it.
        const json rows = Rows(env);
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0]["outcome"], "failed");
        EXPECT_EQ(rows[0]["ended_at"], "image");
        EXPECT_EQ(rows[0]["release_list_sha256"], "");
    }
    EXPECT_TRUE(unit.Attempts().empty()) << "a refused image woke the unit";
}

TEST_F(Release, ASignedImageGoesOutAndItsRowNamesTheListTheKeyAndTheUnit) {
    const fs::path folder = SignedFolder("drivers");
    const std::string keyId = KeyIdByOpenssl(dir_ / "keys" / "admin.pem");
    EXPECT_THAT(signOutput_, HasSubstr(": 2 images, signed by key " + keyId + "\n"));
    const std::vector<std::string> env = Policy(Strict() + "require_unit_serial = yes\n");
    auto& a = StartUnit();
    auto& b = StartUnit();

    const Outcome noSerial =
        RunTool(RunSpec{Download({a.DevicePath(), b.DevicePath()},
                                 {"--drivers", folder.string(), "--pick", kImageName}),
                        env});
    EXPECT_EQ(noSerial.exitStatus, 2);
    EXPECT_THAT(noSerial.err, HasSubstr("requires each unit's serial number"));

    const Outcome o = RunTool(
        RunSpec{Download({a.DevicePath(), b.DevicePath()},
                         {"--drivers", folder.string(), "--pick", kImageName, "--unit-serial",
                          "SN-0001", "--unit-serial", "SN-0002", "--lot", "WO-4711"}),
                env});
    EXPECT_EQ(o.exitStatus, 0) << o.err;
    EXPECT_EQ(a.Attempts().at(0).image, Image(300));
    EXPECT_EQ(b.Attempts().at(0).image, Image(300));

    const std::string listSha =
        RunTool(RunSpec{{(folder / "SHA256SUMS").string()}, {}, "/usr/bin/sha256sum"})
            .out.substr(0, 64);
    json rows = Rows(env);
    ASSERT_EQ(rows.size(), 2u);
    std::map<std::string, std::string> serialOf;
    for (const json& r : rows) {
        EXPECT_EQ(r["outcome"], "confirmed");
        EXPECT_EQ(r["release_list_sha256"], listSha);
        EXPECT_EQ(r["release_key"], keyId);
        EXPECT_EQ(r["lot"], "WO-4711");
        serialOf[r["port"]] = r["unit_serial"];
    }
    EXPECT_EQ(serialOf[a.DevicePath()], "SN-0001");
    EXPECT_EQ(serialOf[b.DevicePath()], "SN-0002");
}

// What an administrator checks with the tools they already trust, and what `release verify`
// says of the same folder before and after a byte changed.
TEST_F(Release, ASignedFolderVerifiesWithSha256sumAndOpenssl) {
    const fs::path folder = SignedFolder("drivers");
    RunSpec check{{"-c", "SHA256SUMS"}, {}, "/usr/bin/sha256sum"};
    check.cwd = folder.string();
    const Outcome sums = RunTool(check);
    EXPECT_EQ(sums.exitStatus, 0) << sums.err;
    EXPECT_EQ(sums.out, "PLQ5A_v1.abs: OK\nPLQ5A_v2.abs: OK\n");
    const Outcome sig =
        Openssl({"pkeyutl", "-verify", "-rawin", "-pubin", "-inkey",
                 (dir_ / "keys" / "admin.pem").string(), "-in", (folder / "SHA256SUMS").string(),
                 "-sigfile", (folder / "SHA256SUMS.sig").string()});
    EXPECT_EQ(sig.exitStatus, 0) << sig.out << sig.err;
    EXPECT_EQ(fs::status(folder / "SHA256SUMS").permissions() & fs::perms::others_read,
              fs::perms::others_read)
        << "the operators' downloads must read the list";

    const std::vector<std::string> env = Policy(Strict());
    const std::string keyLine = "signature: OK, key " +
                                KeyIdByOpenssl(dir_ / "keys" / "admin.pem") + " (" +
                                (dir_ / "keys" / "admin.pem").string() + ")\n";
    const Outcome good = RunTool(RunSpec{{"release", "verify", folder.string()}, env});
    EXPECT_EQ(good.exitStatus, 0) << good.err;
    EXPECT_EQ(good.out, "PLQ5A_v1.abs: OK\nPLQ5A_v2.abs: OK\n" + keyLine);

    scratch_.Write("drivers/PLQ5A_v1.abs", Image(120, 8));
    const Outcome bad = RunTool(RunSpec{{"release", "verify", "--drivers", folder.string()}, env});
    EXPECT_EQ(bad.exitStatus, 1);
    EXPECT_EQ(bad.out,
              "PLQ5A_v1.abs: FAILED (its SHA-256 differs from the list's)\n"
              "PLQ5A_v2.abs: OK\n" +
                  keyLine);
}

}  // namespace
}  // namespace romlift::testing
