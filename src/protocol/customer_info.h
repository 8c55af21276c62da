// The customer-information block of the login commands and results:
//   tagged string ( compressed stream ( tagged string ( "name=value" CR LF ... ) ) )
// A command's block names the pharmacy (CustomerCode = its id, Password = its
// inet_pass); a result's block says "CustomerAuthorized=1" or "=0".
#pragma once

#include <cstdint>
#include <string>

#include "protocol/pharm_classes.h"

// The customer a command describes. Wide-string fields hold the text as
// UTF-16, converted from the block's code page 1251.
class TOrderCustomer {
public:
    std::u16string CompanyName;
    std::u16string CompanyAddress;
    std::u16string CompanyPhone;
    std::u16string CompanyMOL;
    std::u16string CompanyManagerEGN;
    std::u16string PharmacyNo;
    std::u16string CompanyLicence;
    std::u16string CompanyTaxNo;
    std::u16string CompanyBulstat;
    std::u16string Password;
    int32_t CustomerCode = 0;
};

// Decodes the command's customer-information block and fills every field;
// an absent key gives an empty text. An absent or non-numeric CustomerCode
// raises EConvertError "'%s' is not a valid integer value"; a damaged block
// raises the tagged-value reader's or the decompressor's error.
void LoadCustomerFromCommand(TOrderCustomer& customer, const TPharmServerLoginCommand& command);

// Code := -1 and Password := "" first; then the command's CustomerCode and
// Password (cp1251) with True. On failure False with Code -1 and Password "",
// raising the failure again unless suppressErrors.
bool GetCommandCustomerCredentials(const TPharmServerLoginCommand& command, int32_t& code, std::string& password,
                                   bool suppressErrors);
bool GetCommandCustomerCode(const TPharmServerLoginCommand& command, int32_t& code, bool suppressErrors);

// Writes the one line "CustomerAuthorized=1" (or 0) as the result's block and
// sets CustomerInfoSize to the block's size.
void SetResultCustomerAuthorized(TPharmServerLoginResult& result, bool authorized);

// Writes the given lines as a login object's block and sets its declared
// size: how a pharmacy's client fills a command (used by tests and tools).
void SetCommandCustomerLines(TPharmServerLoginCommand& command, const std::vector<std::string>& lines);
