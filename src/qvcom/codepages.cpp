// Windows code page numbers and MIME charset names, both ways, and text
// conversion between them through ICU converters.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <unicode/ucnv.h>

#include "mime_internal.hpp"
#include "common/text_case.hpp"
#include "common/unique_file.hpp"
#include "private_files.hpp"

namespace qvcom::mime {
namespace {

struct CodepageEntry {
    int codepage;
    // Labels separated by "|"; the first is the name this library writes.
    const char *labels;
    // ICU converter used to decode and encode text of this code page.
    const char *converter;
};

// Code pages the host and the mail agents name.  Labels that ICU does not
// list as aliases of the same converter are spelt out.
const CodepageEntry kCodepages[] = {
    {20127, "us-ascii|ascii|ansi_x3.4-1968|iso646-us", "windows-1252"},
    {28591, "iso-8859-1|latin1|l1|iso_8859-1|cp819", "windows-1252"},
    {28592, "iso-8859-2|latin2|l2", "iso-8859-2"},
    {28593, "iso-8859-3|latin3", "iso-8859-3"},
    {28594, "iso-8859-4|latin4", "iso-8859-4"},
    {28595, "iso-8859-5|cyrillic", "iso-8859-5"},
    {28596, "iso-8859-6|arabic", "iso-8859-6"},
    {28597, "iso-8859-7|greek", "iso-8859-7"},
    {28598, "iso-8859-8|hebrew", "iso-8859-8"},
    {38598, "iso-8859-8-i", "iso-8859-8"},
    {28599, "iso-8859-9|latin5", "windows-1254"},
    {28600, "iso-8859-10|latin6", "iso-8859-10"},
    {28601, "iso-8859-11", "windows-874"},
    {28603, "iso-8859-13", "iso-8859-13"},
    {28604, "iso-8859-14", "iso-8859-14"},
    {28605, "iso-8859-15|latin-9|latin9", "iso-8859-15"},
    {28606, "iso-8859-16", "iso-8859-16"},
    {1250, "windows-1250|cp1250|x-cp1250", "windows-1250"},
    {1251, "windows-1251|cp1251|x-cp1251", "windows-1251"},
    {1252, "windows-1252|cp1252|x-cp1252", "windows-1252"},
    {1253, "windows-1253|cp1253", "windows-1253"},
    {1254, "windows-1254|cp1254", "windows-1254"},
    {1255, "windows-1255|cp1255", "windows-1255"},
    {1256, "windows-1256|cp1256", "windows-1256"},
    {1257, "windows-1257|cp1257", "windows-1257"},
    {1258, "windows-1258|cp1258", "windows-1258"},
    {874, "windows-874|tis-620|cp874", "windows-874"},
    {20866, "koi8-r|koi8|cskoi8r", "koi8-r"},
    {21866, "koi8-u", "koi8-u"},
    {50220, "iso-2022-jp|csiso2022jp", "ISO_2022,locale=ja,version=1"},
    {50225, "iso-2022-kr|csiso2022kr", "iso-2022-kr"},
    {50227, "iso-2022-cn", "iso-2022-cn"},
    {932, "shift_jis|shift-jis|sjis|x-sjis|windows-31j|ms_kanji|cp932|windows-932", "windows-31j"},
    {51932, "euc-jp|x-euc-jp|cseucpkdfmtjapanese", "euc-jp"},
    {949, "ks_c_5601-1987|ks_c_5601|windows-949|cp949|korean|csksc56011987", "windows-949"},
    {51949, "euc-kr|x-euc-kr|cseuckr", "windows-949"},
    {936, "gb2312|gbk|cp936|windows-936|euc-cn|x-gbk|csgb2312|gb_2312-80|x-euc-cn", "GBK"},
    {54936, "gb18030", "gb18030"},
    {52936, "hz-gb-2312|hz", "HZ"},
    {950, "big5|cp950|windows-950|x-x-big5|csbig5|big5-hkscs", "windows-950"},
    {65000, "utf-7|unicode-1-1-utf-7|x-unicode20utf7", "UTF-7"},
    {65001, "utf-8|utf8|unicode-1-1-utf-8|x-unicode20utf8", "UTF-8"},
    {1200, "utf-16|utf-16le|unicode|ucs-2|unicodefeff", "UTF-16LE"},
    {1201, "utf-16be|unicodefffe", "UTF-16BE"},
    {12000, "utf-32|utf-32le", "UTF-32LE"},
    {12001, "utf-32be", "UTF-32BE"},
    {437, "ibm437|cp437", "ibm-437"},
    {850, "ibm850|cp850", "ibm-850"},
    {852, "ibm852|cp852", "ibm-852"},
    {855, "ibm855|cp855", "ibm-855"},
    {857, "ibm857|cp857", "ibm-857"},
    {860, "ibm860|cp860", "ibm-860"},
    {861, "ibm861|cp861", "ibm-861"},
    {862, "ibm862|cp862", "ibm-862"},
    {863, "ibm863|cp863", "ibm-863"},
    {864, "ibm864|cp864", "ibm-864"},
    {865, "ibm865|cp865", "ibm-865"},
    {866, "ibm866|cp866|csibm866", "ibm-866"},
    {869, "ibm869|cp869", "ibm-869"},
    {10000, "macintosh|mac|x-mac-roman", "macintosh"},
    {10007, "x-mac-cyrillic", "x-mac-cyrillic"},
    {10029, "x-mac-ce", "x-mac-ce"},
};

std::string trimmed_label(std::string_view label)
{
    std::size_t b = 0, e = label.size();
    while (b < e && (label[b] == ' ' || label[b] == '"' || label[b] == '\''))
        ++b;
    while (e > b && (label[e - 1] == ' ' || label[e - 1] == '"' || label[e - 1] == '\''))
        --e;
    std::string out(label.substr(b, e - b));
    for (char &c : out)
        c = qvcommon::AsciiLower(c);
    return out;
}

// ICU's canonical converter name of a label, "" when ICU does not know it.
std::string canonical(const std::string &label)
{
    UErrorCode err = U_ZERO_ERROR;
    const char *name = ucnv_getAlias(label.c_str(), 0, &err);
    return (U_SUCCESS(err) && name) ? std::string(name) : std::string();
}

struct LabelIndex {
    struct Row {
        int codepage;
        std::string label;
        std::string canonical;
    };
    std::vector<Row> rows;
};

const LabelIndex &label_index()
{
    static const LabelIndex index = [] {
        LabelIndex built;
        for (const CodepageEntry &entry : kCodepages) {
            std::string_view labels = entry.labels;
            while (!labels.empty()) {
                const std::size_t bar = labels.find('|');
                std::string label(labels.substr(0, bar));
                built.rows.push_back({entry.codepage, label, canonical(label)});
                labels =
                    bar == std::string_view::npos ? std::string_view() : labels.substr(bar + 1);
            }
        }
        return built;
    }();
    return index;
}

const CodepageEntry *entry_of(int codepage)
{
    for (const CodepageEntry &entry : kCodepages)
        if (entry.codepage == codepage)
            return &entry;
    return nullptr;
}

struct ConverterCloser {
    void operator()(UConverter *c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter open_converter(const std::string &name)
{
    UErrorCode err = U_ZERO_ERROR;
    Converter c(ucnv_open(name.c_str(), &err));
    if (U_FAILURE(err))
        c.reset();
    return c;
}

bool converter_exists(const std::string &name)
{
    return !name.empty() && open_converter(name) != nullptr;
}

} // namespace

int codepage_of_charset(std::string_view charset)
{
    const std::string label = trimmed_label(charset);
    if (label.empty())
        return 0;
    const LabelIndex &index = label_index();
    for (const auto &row : index.rows)
        if (row.label == label)
            return row.codepage;
    const std::string canon = canonical(label);
    if (!canon.empty())
        for (const auto &row : index.rows)
            if (row.canonical == canon)
                return row.codepage;
    // "windows-NNNN", "cpNNNN" and "ibmNNN" of code pages not in the table.
    for (std::string_view prefix : {"windows-", "cp", "ibm", "x-cp"}) {
        if (label.compare(0, prefix.size(), prefix) != 0 || label.size() == prefix.size())
            continue;
        int n = 0;
        for (char c : std::string_view(label).substr(prefix.size())) {
            if (c < '0' || c > '9' || n > 99999)
                return 0;
            n = n * 10 + (c - '0');
        }
        return n;
    }
    return 0;
}

std::string charset_of_codepage(int codepage)
{
    if (const CodepageEntry *entry = entry_of(codepage)) {
        std::string_view labels = entry->labels;
        return std::string(labels.substr(0, labels.find('|')));
    }
    if (codepage > 0 && converter_exists("windows-" + std::to_string(codepage)))
        return "windows-" + std::to_string(codepage);
    return {};
}

std::string decoder_for_codepage(int codepage)
{
    if (codepage == 0)
        codepage = 1252;
    if (const CodepageEntry *entry = entry_of(codepage))
        return converter_exists(entry->converter) ? entry->converter : std::string();
    for (const std::string &name :
         {"windows-" + std::to_string(codepage), "ibm-" + std::to_string(codepage)})
        if (converter_exists(name))
            return name;
    return {};
}

std::string decoder_for_charset(std::string_view charset)
{
    const std::string label = trimmed_label(charset);
    if (label.empty())
        return {};
    // UTF-16 and UTF-32 without an order keep ICU's byte-order-mark rule.
    if (label == "utf-16" || label == "utf-32")
        return label;
    if (const int codepage = codepage_of_charset(label)) {
        std::string name = decoder_for_codepage(codepage);
        if (!name.empty())
            return name;
    }
    return converter_exists(label) ? label : std::string();
}

bool convert(std::string_view in, const std::string &from, const std::string &to,
             std::string &out)
{
    Converter source = open_converter(from);
    Converter target = open_converter(to);
    if (!source || !target)
        return false;
    out.clear();
    std::vector<UChar> pivot(1024);
    UChar *pivot_source = pivot.data(), *pivot_target = pivot.data();
    const char *src = in.data();
    const char *src_end = in.data() + in.size();
    char chunk[4096];
    for (;;) {
        char *dst = chunk;
        UErrorCode err = U_ZERO_ERROR;
        ucnv_convertEx(target.get(), source.get(), &dst, chunk + sizeof chunk, &src, src_end,
                       pivot.data(), &pivot_source, &pivot_target, pivot.data() + pivot.size(),
                       false, true, &err);
        out.append(chunk, static_cast<std::size_t>(dst - chunk));
        if (err == U_BUFFER_OVERFLOW_ERROR)
            continue;
        return U_SUCCESS(err);
    }
}

std::string to_utf8(std::string_view bytes, std::string_view charset)
{
    std::string out;
    const std::string decoder = decoder_for_charset(charset);
    if (!decoder.empty() && convert(bytes, decoder, "UTF-8", out))
        return out;
    if (is_valid_utf8(bytes))
        return std::string(bytes);
    if (convert(bytes, "windows-1252", "UTF-8", out))
        return out;
    return std::string(bytes);
}

} // namespace qvcom::mime

using namespace qvcom::mime;

extern "C" QVCOM_API int com_iso_codepage(int codepage, char *charset, size_t charset_size)
{
    if (codepage != 0) {
        const std::string name = charset_of_codepage(codepage);
        if (charset && charset_size > 0)
            copy_out(name, charset, charset_size);
        return name.empty() ? 0 : codepage;
    }
    return charset ? codepage_of_charset(std::string_view(charset, strnlen(charset, charset_size)))
                   : 0;
}

extern "C" QVCOM_API int com_CodepageToWindows(char *text, size_t capacity, int from_codepage,
                                              int to_codepage)
{
    if (!text || capacity == 0)
        return 0;
    const std::string from = decoder_for_codepage(from_codepage);
    const std::string to = decoder_for_codepage(to_codepage);
    std::string out;
    if (from.empty() || to.empty() ||
        !convert(std::string_view(text, strnlen(text, capacity)), from, to, out))
        return 0;
    return copy_out(out, text, capacity) ? 1 : 0;
}

extern "C" QVCOM_API int com_CharsetToUTF8(const char *charset, char *text, size_t capacity)
{
    if (!text || capacity == 0)
        return 0;
    const std::string out =
        to_utf8(std::string_view(text, strnlen(text, capacity)), charset ? charset : "");
    return copy_out(out, text, capacity) ? 1 : 0;
}

namespace {

// One stream through a converter keeps multi-byte characters and shift
// states whole across reads (and UTF-16 line feeds intact).
bool convert_stream(UConverter *source, UConverter *target, std::FILE *in, std::FILE *out)
{
    std::vector<UChar> pivot(4096);
    UChar *pivot_source = pivot.data(), *pivot_target = pivot.data();
    char in_buf[16384], out_buf[32768];
    bool ok = true;
    for (bool last = false; !last && ok;) {
        const std::size_t got = std::fread(in_buf, 1, sizeof in_buf, in);
        last = got < sizeof in_buf;
        const char *src = in_buf;
        for (;;) {
            char *dst = out_buf;
            UErrorCode err = U_ZERO_ERROR;
            ucnv_convertEx(target, source, &dst, out_buf + sizeof out_buf, &src, in_buf + got,
                           pivot.data(), &pivot_source, &pivot_target,
                           pivot.data() + pivot.size(), false, last, &err);
            const std::size_t n = static_cast<std::size_t>(dst - out_buf);
            if (n && std::fwrite(out_buf, 1, n, out) != n)
                ok = false;
            if (err == U_BUFFER_OVERFLOW_ERROR && ok)
                continue;
            if (U_FAILURE(err))
                ok = false;
            break;
        }
    }
    return ok;
}

// The same file as source and target: the text is read whole, converted
// in memory and written back over the original only when all went well,
// so a failure leaves the file as it was and no second file is created.
int convert_file_in_place(UConverter *source, UConverter *target, const char *path)
{
    qvcommon::UniqueFile file = qvcommon::OpenFile(path, "r+b");
    std::string text;
    if (!file || !qvcommon::ReadWholeFile(file.get(), text))
        return 0;
    qvcommon::UniqueFile in(fmemopen(text.data(), text.size(), "rb"));
    char *converted = nullptr;
    std::size_t converted_size = 0;
    std::FILE *memory = open_memstream(&converted, &converted_size);
    if (!in || !memory) {
        if (memory)
            std::fclose(memory);
        std::free(converted);
        return 0;
    }
    const bool ok = convert_stream(source, target, in.get(), memory);
    std::fclose(memory);
    const std::unique_ptr<char, decltype(&std::free)> owned(converted, &std::free);
    // UTF-8 that stays as it was (the usual text body) is not written again.
    const bool unchanged = converted_size == text.size() &&
                           std::memcmp(converted, text.data(), text.size()) == 0;
    if (!ok || !qvcom::detail::overwrite_file(file.get(), converted, converted_size, unchanged))
        return 0;
    return std::fclose(file.release()) == 0 ? 1 : 0;
}

} // namespace

extern "C" QVCOM_API int com_ConvertFileToUTF8(const char *source_path, const char *target_path,
                                              const char *charset)
{
    if (!source_path || !target_path)
        return 0;
    std::string decoder = decoder_for_charset(charset ? charset : "");
    if (decoder.empty())
        decoder = "windows-1252";
    Converter source = open_converter(decoder);
    Converter target = open_converter("UTF-8");
    if (!source || !target)
        return 0;
    if (std::strcmp(source_path, target_path) == 0)
        return convert_file_in_place(source.get(), target.get(), source_path);
    qvcommon::UniqueFile in = qvcommon::OpenFile(source_path, "rb");
    if (!in)
        return 0;
    qvcommon::UniqueFile out(qvcom::detail::open_private_file(target_path, "wb"));
    if (!out)
        return 0;
    const bool ok = convert_stream(source.get(), target.get(), in.get(), out.get());
    return ok && std::fclose(out.release()) == 0 ? 1 : 0;
}
