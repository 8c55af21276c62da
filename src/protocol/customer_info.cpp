#include "protocol/customer_info.h"

#include <vector>

#include "core/cp1251.h"
#include "core/format.h"
#include "protocol/compressed_stream.h"

namespace {

// The value of the first line named `name` (ignoring letter case): everything
// after its first "="; empty when there is no such line.
std::string ValueOf(const std::vector<std::string>& lines, const char* name) {
    for (const std::string& l : lines) {
        const size_t eq = l.find('=');
        if (eq != std::string::npos && SameText1251(std::string_view(l).substr(0, eq), name))
            return l.substr(eq + 1);
    }
    return std::string();
}

// The block's lines. It is read from a copy of its bytes, so that the
// command itself is left as it was.
std::vector<std::string> CustomerLines(const TPharmServerLoginCommand& command) {
    TMemoryStream block(command.CustomerInfo.Bytes());
    std::vector<std::string> lines;
    LoadStringsCompressed(lines, block);
    return lines;
}

// The compressed block of an answer that tells whether the pharmacy was
// authorized.
std::string CompressedBlock(bool authorized) {
    TMemoryStream block;
    SaveStringsCompressed(block, {Format("CustomerAuthorized=%d", {authorized ? 1 : 0})});
    return block.Bytes();
}

}  // namespace

void LoadCustomerFromCommand(TOrderCustomer& customer, const TPharmServerLoginCommand& command) {
    const std::vector<std::string> lines = CustomerLines(command);

    auto wide = [&](const char* key) { return Cp1251ToUtf16(ValueOf(lines, key)); };
    customer.CompanyName = wide("CompanyName");
    customer.CompanyAddress = wide("CompanyAddress");
    customer.CompanyPhone = wide("CompanyPhone");
    customer.CompanyMOL = wide("CompanyMOL");
    customer.CompanyManagerEGN = wide("CompanyManagerEGN");
    customer.PharmacyNo = wide("PharmacyNo");
    customer.CompanyLicence = wide("CompanyLicence");
    customer.CompanyTaxNo = wide("CompanyTaxNo");
    customer.CompanyBulstat = wide("CompanyBulstat");
    customer.Password = wide("Password");
    customer.CustomerCode = StrToInt(ValueOf(lines, "CustomerCode"));
}

bool GetCommandCustomerCredentials(const TPharmServerLoginCommand& command, int32_t& code, std::string& password,
                                   bool suppressErrors) {
    code = -1;
    password.clear();
    try {
        // The fields of TOrderCustomer that matter here, with the password
        // kept in the block's own bytes (no round trip through UTF-16).
        const std::vector<std::string> lines = CustomerLines(command);
        const int32_t c = StrToInt(ValueOf(lines, "CustomerCode"));
        password = ValueOf(lines, "Password");
        code = c;
        return true;
    } catch (...) {
        code = -1;
        password.clear();
        if (!suppressErrors) throw;
        return false;
    }
}

bool GetCommandCustomerCode(const TPharmServerLoginCommand& command, int32_t& code, bool suppressErrors) {
    std::string password;
    return GetCommandCustomerCredentials(command, code, password, suppressErrors);
}

void SetResultCustomerAuthorized(TPharmServerLoginResult& result, bool authorized) {
    // The block says one of two things: each is compressed once, and every
    // answer gets a copy of those bytes.
    static const std::string kBlocks[2] = {CompressedBlock(false), CompressedBlock(true)};
    result.CustomerInfo.Bytes() = kBlocks[authorized ? 1 : 0];
    result.CustomerInfo.SetPosition(0);
    result.CustomerInfoSize = result.CustomerInfo.Size();
}

void SetCommandCustomerLines(TPharmServerLoginCommand& command, const std::vector<std::string>& lines) {
    SaveStringsCompressed(command.CustomerInfo, lines);
    command.CustomerInfoSize = command.CustomerInfo.Size();
}
