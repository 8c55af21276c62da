#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "protocol/component_stream.h"
#include "protocol/compressed_stream.h"
#include "protocol/customer_info.h"
#include "protocol/nv_stream_utils.h"
#include "test_bytes.h"
#include "support/expect_raises.h"

namespace {

std::unique_ptr<TPharmServerLoginCommand> CommandWith(const std::vector<std::string>& lines) {
    auto c = std::make_unique<TPharmServerLoginCommand>();
    SetCommandCustomerLines(*c, lines);
    return c;
}

}  // namespace

TEST(CustomerInfo, BlockLayersShortAndLong) {
    auto p = CommandWith({"CustomerCode=7", "Password=pw"});
    TPharmServerLoginCommand& c = *p;
    EXPECT_EQ(c.CustomerInfoSize, c.CustomerInfo.Size());
    EXPECT_TRUE(c.IsCustomerInfoValid());
    // Layer 1: a tagged string holding layer 2.
    TNVBinReader outer(&c.CustomerInfo);
    const std::string layer2 = outer.ReadString();
    EXPECT_EQ(c.CustomerInfo.Remaining(), 0);
    EXPECT_EQ(c.CustomerInfo.Bytes()[0], 6);
    // Layer 2: the compressed string (count, then zlib) of the text.
    EXPECT_EQ(DecompressString(layer2), "CustomerCode=7\r\nPassword=pw\r\n");
    // The count is that of layer 3, the tagged string of the text (tag, length, 29 bytes).
    EXPECT_EQ(Hex(layer2.substr(0, 5)), "1F 00 00 00 78");
    // Enough text that both tagged strings exceed 255 bytes: the long form.
    std::vector<std::string> lines = {"CustomerCode=3"};
    for (int i = 0; i < 40; ++i) lines.push_back("CompanyAddress" + std::to_string(i) + "=" + std::string(i * 7, 'q' - i % 9));
    auto longCommand = CommandWith(lines);
    EXPECT_EQ(static_cast<uint8_t>(longCommand->CustomerInfo.Bytes()[0]), 12);
    int32_t code = 0;
    EXPECT_TRUE(GetCommandCustomerCode(*longCommand, code, false));
    EXPECT_EQ(code, 3);
}

TEST(CustomerInfo, LoadCustomerFillsEveryFieldThatIsThere) {
    auto c = CommandWith({
        Cp(u8"CompanyName=Аптека"), "CompanyAddress=Sofia=1000", "CompanyPhone=02 123",
        "CompanyMOL=Ivanov", "CompanyManagerEGN=7501011234", "PharmacyNo=12", "CompanyLicence=L-1",
        "CompanyTaxNo=BG1", "CompanyBulstat=123456789", "password=secret", "CustomerCode=0012"});
    TOrderCustomer cust;
    auto shown = [&] {
        std::string s = std::to_string(cust.CustomerCode);
        for (const std::u16string* f : {&cust.CompanyName, &cust.CompanyAddress, &cust.CompanyPhone, &cust.CompanyMOL,
                                        &cust.CompanyManagerEGN, &cust.PharmacyNo, &cust.CompanyLicence,
                                        &cust.CompanyTaxNo, &cust.CompanyBulstat, &cust.Password})
            s += "|" + Utf16ToCp1251(*f);
        return s;
    };
    LoadCustomerFromCommand(cust, *c);
    // Everything after the first "=", keys matched ignoring case.
    EXPECT_EQ(shown(), Cp(u8"12|Аптека|Sofia=1000|02 123|Ivanov|7501011234|12|L-1|BG1|123456789|secret"));
    EXPECT_EQ(c->CustomerInfo.Position(), 0);
    // Missing keys leave their fields empty; the code must be a number.
    LoadCustomerFromCommand(cust, *CommandWith({"customercode=5"}));
    EXPECT_EQ(shown(), "5||||||||||");
    ExpectRaises<EConvertError>([&] { LoadCustomerFromCommand(cust, *CommandWith({"Password=x"})); },
        "'' is not a valid integer value");
    ExpectRaises<EConvertError>([&] { LoadCustomerFromCommand(cust, *CommandWith({"CustomerCode=12a"})); },
        "'12a' is not a valid integer value");
}

TEST(CustomerInfo, CredentialsOrTheirFailuresAndTheAuthorizationOfTheResult) {
    int32_t code = 0;
    std::string pass = "stale";
    EXPECT_TRUE(GetCommandCustomerCredentials(*CommandWith({"CustomerCode=0012", Cp(u8"Password=парола") + "\x98"}),
                                              code, pass, false));
    EXPECT_EQ(std::to_string(code) + " " + pass, "12 " + Cp(u8"парола") + "\x98");   // the block's own bytes
    code = 0;
    EXPECT_TRUE(GetCommandCustomerCode(*CommandWith({"CustomerCode=0012", "Password=p"}), code, false));
    EXPECT_EQ(code, 12);

    // An empty block, with errors suppressed: False and -1, no exception.
    TPharmServerLoginCommand empty;
    code = 99;
    EXPECT_FALSE(GetCommandCustomerCode(empty, code, true));
    EXPECT_EQ(code, -1);
    EXPECT_THROW(GetCommandCustomerCode(empty, code, false), EInvalidValue);
    EXPECT_EQ(code, -1);

    // Non-numeric code.
    auto bad = CommandWith({"CustomerCode=abc", "Password=p"});
    pass = "stale";
    EXPECT_FALSE(GetCommandCustomerCredentials(*bad, code, pass, true));
    EXPECT_EQ(std::to_string(code) + " " + pass, "-1 ");
    EXPECT_THROW(GetCommandCustomerCredentials(*bad, code, pass, false), EConvertError);

    // A damaged zlib stream inside a well-formed outer string.
    TPharmServerLoginCommand damaged;
    {
        TNVBinWriter w(&damaged.CustomerInfo);
        w.WriteString(B({10, 0, 0, 0, 0x78, 0xDA, 1, 2, 3}));
    }
    damaged.CustomerInfoSize = damaged.CustomerInfo.Size();
    EXPECT_FALSE(GetCommandCustomerCode(damaged, code, true));
    EXPECT_THROW(GetCommandCustomerCode(damaged, code, false), EDecompressionError);
    TPharmServerSendFileResult r;
    r.CustomerInfo.Bytes() = std::string(500, 'z');   // replaced entirely
    SetResultCustomerAuthorized(r, true);
    EXPECT_EQ(r.CustomerInfo.Position(), 0);
    EXPECT_EQ(r.CustomerInfoSize, r.CustomerInfo.Size());
    EXPECT_TRUE(r.IsCustomerInfoValid());
    TNVBinReader outer(&r.CustomerInfo);
    EXPECT_EQ(DecompressString(outer.ReadString()), "CustomerAuthorized=1\r\n");
    SetResultCustomerAuthorized(r, false);
    std::vector<std::string> lines;
    LoadStringsCompressed(lines, r.CustomerInfo);
    EXPECT_EQ(lines, std::vector<std::string>{"CustomerAuthorized=0"});
}
