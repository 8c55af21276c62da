// Writes XML data packets in the form the packet reader takes: the tests and
// benchmarks make the pharmacies' packets with it.
#pragma once

#include <string>
#include <vector>

#include "core/variant.h"
#include "replication/packet/xml_data_packet.h"

// How the writer encodes text.
enum class TPacketEncoding {
    Cp1251,    // declared "windows-1251", extended characters as raw bytes
    Escaped,   // no declared encoding, extended characters as "&#NNN;" of their cp1251 byte
    Utf8       // declared "UTF-8"
};

// Writes a packet of the given fields and rows (each row one Variant per
// field, null for a null value). The field types are those the reader maps;
// values are converted to the field's text form.
std::string WriteXmlDataPacket(const std::vector<TPacketFieldDef>& fields,
                               const std::vector<std::vector<Variant>>& rows,
                               TPacketEncoding encoding = TPacketEncoding::Cp1251);
void SaveXmlDataPacket(const std::string& path, const std::vector<TPacketFieldDef>& fields,
                       const std::vector<std::vector<Variant>>& rows,
                       TPacketEncoding encoding = TPacketEncoding::Cp1251);
