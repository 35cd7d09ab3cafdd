#include "image/HeaderKeywords.h"

#include <cctype>
#include <cstring>
#include <set>

namespace {

// The position after a run of digits at i, or npos when there is none.
std::size_t SkipDigits(const std::string& s, std::size_t i)
{
    const std::size_t start = i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i;
    return i > start ? i : std::string::npos;
}

// prefix, an axis number ("_" and a second one when pair), and an alternate
// WCS letter when allowed: CRPIX1, CD1_2, PC2_1A, A_2_0.
bool IsIndexed(const std::string& name, const char* prefix, bool pair, bool alternate)
{
    const std::size_t length = std::strlen(prefix);
    if (name.compare(0, length, prefix) != 0)
        return false;
    std::size_t i = SkipDigits(name, length);
    if (pair && i != std::string::npos)
        i = i < name.size() && name[i] == '_' ? SkipDigits(name, i + 1) : std::string::npos;
    if (i == std::string::npos)
        return false;
    return i == name.size() || (alternate && i + 1 == name.size() && std::isupper(static_cast<unsigned char>(name[i])));
}

bool IsWcsKeyword(const std::string& name)
{
    static const std::set<std::string> single = {"WCSAXES", "WCSNAME", "LONPOLE", "LATPOLE", "RADESYS", "EQUINOX"};
    static const std::set<std::string> plain = {"RADECSYS", "EPOCH",   "A_ORDER", "B_ORDER",
                                                "AP_ORDER", "BP_ORDER", "A_DMAX",  "B_DMAX"};
    if (plain.count(name) || single.count(name))
        return true;
    // The same with an alternate WCS letter.
    if (name.size() > 1 && std::isupper(static_cast<unsigned char>(name.back())) &&
        single.count(name.substr(0, name.size() - 1)))
        return true;
    for (const char* prefix : {"CTYPE", "CRVAL", "CRPIX", "CDELT", "CUNIT", "CROTA", "CRDER", "CSYER"})
        if (IsIndexed(name, prefix, false, true))
            return true;
    for (const char* prefix : {"CD", "PC", "PV", "PS"})
        if (IsIndexed(name, prefix, true, true))
            return true;
    for (const char* prefix : {"A_", "B_", "AP_", "BP_"})
        if (IsIndexed(name, prefix, true, false))
            return true;
    return false;
}

bool IsDescriptiveKeyword(const std::string& name)
{
    static const std::set<std::string> names = {
        "OBJECT",   "TELESCOP", "INSTRUME", "DETECTOR", "OBSERVER", "OBSERVAT", "SITENAME", "SITELAT",
        "SITELONG", "SITEELEV", "OBSGEO-B", "OBSGEO-L", "OBSGEO-H", "OBSGEO-X", "OBSGEO-Y", "OBSGEO-Z",
        "FOCALLEN", "APTDIA",   "APTAREA",  "RA",       "DEC",      "OBJCTRA",  "OBJCTDEC"};
    return names.count(name) > 0;
}

std::string ReadString(fitsfile* file, const char* key)
{
    char value[FLEN_VALUE] = {};
    int status = 0;
    if (fits_read_key(file, TSTRING, key, value, nullptr, &status) != 0)
        return {};
    return value;
}

}  // namespace

bool IsKeptKeyword(const std::string& name) { return IsWcsKeyword(name) || IsDescriptiveKeyword(name); }

std::vector<std::string> ReadKeptCards(fitsfile* file)
{
    std::vector<std::string> cards;
    std::set<std::string> seen;
    int status = 0, count = 0;
    if (fits_get_hdrspace(file, &count, nullptr, &status) != 0)
        return cards;
    bool continuing = false;  // the card before was kept and may go on
    for (int k = 1; k <= count; ++k) {
        char card[FLEN_CARD] = {}, name[FLEN_KEYWORD] = {};
        int length = 0;
        if (fits_read_record(file, k, card, &status) != 0 || fits_get_keyname(card, name, &length, &status) != 0) {
            status = 0;
            continuing = false;
            continue;
        }
        if (continuing && std::strcmp(name, "CONTINUE") == 0) {
            cards.emplace_back(card);
            continue;
        }
        char value[FLEN_VALUE] = {}, comment[FLEN_COMMENT] = {};
        continuing = IsKeptKeyword(name) && seen.insert(name).second &&
                     fits_parse_value(card, value, comment, &status) == 0 && value[0] != '\0';
        status = 0;
        if (continuing)
            cards.emplace_back(card);
    }
    return cards;
}

std::string ReadDateObs(fitsfile* file)
{
    std::string date = ReadString(file, "DATE-OBS");
    // "yyyy-mm-dd" without a time of day.
    if (date.size() == 10 && date[4] == '-') {
        const std::string time = ReadString(file, "TIME-OBS");
        if (!time.empty())
            date += "T" + time;
    }
    return date;
}
