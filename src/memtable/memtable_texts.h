// Messages of the in-memory table, in code page 1251 (the German letters
// u-umlaut and a-umlaut appear as the bytes 0xFC and 0xE4).
#pragma once

namespace MemTableTexts {

// Appended to "Felddefinition <name> (<display name>)".
inline constexpr const char* kUnsupportedType = " Datentyp %d nicht unterst" "\xFC" "tzt.)";
inline constexpr const char* kFieldReadOnly = "Feld %s ist als schreibgesch" "\xFC" "tzt markiert";
inline constexpr const char* kBookmarkNotFound = "Lesezeichen %d nicht gefunden.";
inline constexpr const char* kCannotIndex = "Kann Index f" "\xFC" "r das Feld %s nicht erzeugen";
inline constexpr const char* kBadVariantArray = "Das Varianten-Array hat eine ung" "\xFC" "ltige Dimensionierung";
inline constexpr const char* kMoreFieldsThanValues = "Mehr Felder als Werte";
inline constexpr const char* kNoKeyField = "Sie m" "\xFC" "ssen mindestens ein Feld angeben";
inline constexpr const char* kCircularLink = "Zirkul" "\xE4" "re Datenverbindungen sind nicht erlaubt.";
inline constexpr const char* kMasterDetailCount =
    "Die Anzahl der Hauptfelder stimmt nicht mit der Anzahl der Detailfelder " "\xFC" "berein.";
inline constexpr const char* kNotEditing = "Datensatz nicht im Editiermodus.";
inline constexpr const char* kUnknownFieldType = "Unbekannter Feldtyp (%s)";
inline constexpr const char* kInCsvFile = " in der CSV Datei. (%s)";

}  // namespace MemTableTexts
