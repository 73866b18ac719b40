// Loading from files and byte buffers: the encoding found as XML 1.0 Appendix F describes, a parse
// that runs without the interpreter lock, and the position of a parse error for every loader.
//
// A load parses into a pugi::xml_document of its own, which no other thread can see, and moves it
// into the Document only at the end, with the lock held. Meanwhile the Document is Empty (the load
// resets it first, as load_string does), so a thread using the same Document in the meantime meets
// a consistent Empty state, never a half-built one, and needs no check of its own.
#include "errors.hpp"
#include "module.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tamarack {

namespace {

// A buffer from pugixml's own allocator, so that pugixml can take it over and parse it in place.
class parse_buffer {
public:
    parse_buffer() noexcept = default;
    parse_buffer(const parse_buffer&) = delete;
    parse_buffer& operator=(const parse_buffer&) = delete;
    ~parse_buffer() {
        if (data_) pugi::get_memory_deallocation_function()(data_);
    }

    char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    void set_size(std::size_t size) noexcept { size_ = size; }

    // Grows to hold at least `capacity` bytes, keeping the contents; false when memory runs out.
    bool reserve(std::size_t capacity) noexcept {
        if (capacity <= capacity_) return true;
        void* grown = pugi::get_memory_allocation_function()(capacity);
        if (!grown) return false;
        if (size_) std::memcpy(grown, data_, size_);
        if (data_) pugi::get_memory_deallocation_function()(data_);
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
        return true;
    }

    void clear() noexcept {
        if (data_) pugi::get_memory_deallocation_function()(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

    // Hands the memory to pugixml (load_buffer_inplace_own), which frees it with the document.
    char* release() noexcept {
        capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// --- encoding detection -------------------------------------------------------------------------

// How the bytes themselves are laid out, before any declaration is read.
struct layout {
    pugi::xml_encoding encoding = pugi::encoding_utf8;  // utf8 stands for any 8-bit encoding
    std::size_t bom = 0;                                // bytes of the byte order mark
};

unsigned unit_size(pugi::xml_encoding e) noexcept {
    switch (e) {
        case pugi::encoding_utf16_le:
        case pugi::encoding_utf16_be: return 2;
        case pugi::encoding_utf32_le:
        case pugi::encoding_utf32_be: return 4;
        default: return 1;
    }
}

bool little_endian(pugi::xml_encoding e) noexcept {
    return e == pugi::encoding_utf16_le || e == pugi::encoding_utf32_le;
}

const char* display_name(pugi::xml_encoding e) noexcept {
    switch (e) {
        case pugi::encoding_utf16_le: return "UTF-16LE";
        case pugi::encoding_utf16_be: return "UTF-16BE";
        case pugi::encoding_utf32_le: return "UTF-32LE";
        case pugi::encoding_utf32_be: return "UTF-32BE";
        case pugi::encoding_latin1: return "ISO-8859-1";
        default: return "UTF-8";
    }
}

// The codec names Python's UnicodeDecodeError uses.
const char* codec_name(pugi::xml_encoding e) noexcept {
    switch (e) {
        case pugi::encoding_utf16_le: return "utf-16-le";
        case pugi::encoding_utf16_be: return "utf-16-be";
        case pugi::encoding_utf32_le: return "utf-32-le";
        case pugi::encoding_utf32_be: return "utf-32-be";
        case pugi::encoding_latin1: return "latin-1";
        default: return "utf-8";
    }
}

bool starts_with(const unsigned char* s, std::size_t n, std::initializer_list<unsigned char> prefix) noexcept {
    if (n < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), s);
}

// A byte order mark first, then the first bytes of a document without one (XML 1.0 Appendix F;
// like pugixml, a lone '<' in 16-bit units counts too, since a document may lack a declaration).
layout sniff_layout(const unsigned char* s, std::size_t n) noexcept {
    if (starts_with(s, n, {0xEF, 0xBB, 0xBF})) return {pugi::encoding_utf8, 3};
    if (starts_with(s, n, {0x00, 0x00, 0xFE, 0xFF})) return {pugi::encoding_utf32_be, 4};
    if (starts_with(s, n, {0xFF, 0xFE, 0x00, 0x00})) return {pugi::encoding_utf32_le, 4};
    if (starts_with(s, n, {0xFE, 0xFF})) return {pugi::encoding_utf16_be, 2};
    if (starts_with(s, n, {0xFF, 0xFE})) return {pugi::encoding_utf16_le, 2};
    if (starts_with(s, n, {0x00, 0x00, 0x00, 0x3C})) return {pugi::encoding_utf32_be, 0};
    if (starts_with(s, n, {0x3C, 0x00, 0x00, 0x00})) return {pugi::encoding_utf32_le, 0};
    if (starts_with(s, n, {0x00, 0x3C})) return {pugi::encoding_utf16_be, 0};
    if (starts_with(s, n, {0x3C, 0x00})) return {pugi::encoding_utf16_le, 0};
    return {};
}

// Code unit `i` of the text after the mark; the caller keeps `i` in range.
std::uint32_t unit_at(const unsigned char* s, pugi::xml_encoding e, std::size_t i) noexcept {
    unsigned width = unit_size(e);
    const unsigned char* p = s + i * width;
    if (width == 1) return p[0];
    if (width == 2) return little_endian(e) ? p[0] | (p[1] << 8) : (p[0] << 8) | p[1];
    return little_endian(e) ? p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24)
                            : (std::uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

// The value of `encoding` in an XML declaration at the start of the text, read in the code units
// the layout gives (a declaration is ASCII in every encoding this reads); empty when there is none.
std::string declared_encoding(const unsigned char* s, std::size_t n, const layout& l) {
    const unsigned width = unit_size(l.encoding);
    const std::size_t units = std::min<std::size_t>((n - l.bom) / width, 1024);
    std::string head;
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t c = unit_at(s + l.bom, l.encoding, i);
        if (c == 0 || c >= 0x80) break;
        head.push_back(static_cast<char>(c));
        if (head.size() >= 2 && head.compare(head.size() - 2, 2, "?>") == 0) break;
    }
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    if (head.size() < 6 || head.compare(0, 5, "<?xml") != 0 || !space(head[5])) return {};
    std::size_t i = 5;
    while (i < head.size()) {
        while (i < head.size() && space(head[i])) ++i;
        std::size_t name_start = i;
        while (i < head.size() && std::isalpha(static_cast<unsigned char>(head[i]))) ++i;
        std::string name = head.substr(name_start, i - name_start);
        while (i < head.size() && space(head[i])) ++i;
        if (name.empty() || i >= head.size() || head[i] != '=') return {};
        ++i;
        while (i < head.size() && space(head[i])) ++i;
        if (i >= head.size() || (head[i] != '"' && head[i] != '\'')) return {};
        char quote = head[i++];
        std::size_t end = head.find(quote, i);
        if (end == std::string::npos) return {};
        if (name == "encoding") return head.substr(i, end - i);
        i = end + 1;
    }
    return {};
}

// The encodings a declaration can name that pugixml reads itself, by a name folded to lower case
// with '_' as '-' (Python's canonical names among them). Unicode names without a byte order give
// the order of the layout.
enum class named { other, utf8, latin1, utf16, utf16_le, utf16_be, utf32, utf32_le, utf32_be };

named native_name(std::string name) noexcept {
    for (char& c : name) c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const std::pair<const char*, named> table[] = {
        {"utf-8", named::utf8},         {"utf8", named::utf8},          {"utf-8-sig", named::utf8},
        {"iso-8859-1", named::latin1},  {"iso8859-1", named::latin1},   {"latin-1", named::latin1},
        {"latin1", named::latin1},      {"l1", named::latin1},          {"utf-16", named::utf16},
        {"utf16", named::utf16},        {"ucs-2", named::utf16},        {"iso-10646-ucs-2", named::utf16},
        {"utf-16le", named::utf16_le},  {"utf-16-le", named::utf16_le}, {"utf-16be", named::utf16_be},
        {"utf-16-be", named::utf16_be}, {"utf-32", named::utf32},       {"utf32", named::utf32},
        {"ucs-4", named::utf32},        {"iso-10646-ucs-4", named::utf32}, {"utf-32le", named::utf32_le},
        {"utf-32-le", named::utf32_le}, {"utf-32be", named::utf32_be},  {"utf-32-be", named::utf32_be},
    };
    for (const auto& [key, value] : table)
        if (name == key) return value;
    return named::other;
}

// The encoding a load reads its bytes in: a native one for pugixml, or a Python codec.
struct source_encoding {
    pugi::xml_encoding native = pugi::encoding_utf8;
    std::string codec;  // non-empty: decoded by this Python codec, then parsed as UTF-8
    std::string declared;  // the name as the declaration gives it
    std::size_t bom = 0;
};

bool encoding_name_syntax(const std::string& name) noexcept {
    if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
    return true;
}

int unknown_encoding(const std::string& name) noexcept {
    Ref text = Ref::steal(PyUnicode_DecodeLatin1(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
    if (text) PyErr_Format(PyExc_LookupError, "unknown encoding %R in the XML declaration", text.get());
    return -1;
}

// Python's canonical name of a text encoding (codecs.lookup), or -1 with LookupError set.
int lookup_codec(const std::string& name, std::string& canonical) {
    if (!encoding_name_syntax(name)) return unknown_encoding(name);
    Ref codecs = Ref::steal(PyImport_ImportModule("codecs"));
    if (!codecs) return -1;
    Ref info = Ref::steal(PyObject_CallMethod(codecs.get(), "lookup", "s", name.c_str()));
    if (!info) {
        if (!PyErr_ExceptionMatches(PyExc_LookupError)) return -1;
        PyErr_Clear();
        return unknown_encoding(name);
    }
    // A CodecInfo made without the flag counts as a text encoding, as codecs.CodecInfo's default
    // says; a flag that cannot be read or judged is the codec's error, and ends the load.
    Ref is_text = Ref::steal(PyObject_GetAttrString(info.get(), "_is_text_encoding"));
    if (!is_text) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
    }
    int text_encoding = is_text ? PyObject_IsTrue(is_text.get()) : 1;
    if (text_encoding < 0) return -1;
    if (!text_encoding) {
        PyErr_Format(PyExc_LookupError, "encoding '%s' in the XML declaration is not a text encoding", name.c_str());
        return -1;
    }
    Ref canonical_name = Ref::steal(PyObject_GetAttrString(info.get(), "name"));
    if (!canonical_name) return -1;
    const char* text = PyUnicode_Check(canonical_name.get()) ? PyUnicode_AsUTF8(canonical_name.get()) : nullptr;
    if (!text) return unknown_encoding(name);
    canonical = text;
    return 0;
}

int contradiction(const std::string& declared, const layout& l) noexcept {
    const char* actual = l.encoding == pugi::encoding_utf8 && !l.bom ? "in an 8-bit encoding" : display_name(l.encoding);
    PyErr_Format(PyExc_ValueError, "the XML declaration names the encoding '%s', but the document is %s (by its %s)",
                 declared.c_str(), actual, l.bom ? "byte order mark" : "first bytes");
    return -1;
}

// Settles the encoding from the layout and the declaration; with the lock held (it may ask Python's
// codec registry). A declaration that the layout contradicts is an error, as XML 1.0 makes it one.
int resolve_encoding(const unsigned char* s, std::size_t n, source_encoding& out) {
    layout l = sniff_layout(s, n);
    out.bom = l.bom;
    out.native = l.encoding;
    std::string declared = declared_encoding(s, n, l);
    if (declared.empty()) return 0;
    out.declared = declared;
    named kind = native_name(declared);
    std::string canonical;
    if (kind == named::other) {
        if (lookup_codec(declared, canonical) < 0) return -1;
        kind = native_name(canonical);
    }
    const unsigned width = unit_size(l.encoding);
    switch (kind) {
        case named::utf8:
            return width == 1 ? 0 : contradiction(declared, l);
        case named::latin1:
        case named::other:
            if (width != 1 || l.bom) return contradiction(declared, l);
            if (kind == named::latin1) out.native = pugi::encoding_latin1;
            else out.codec = canonical;
            return 0;
        case named::utf16:
            return width == 2 ? 0 : contradiction(declared, l);
        case named::utf32:
            return width == 4 ? 0 : contradiction(declared, l);
        case named::utf16_le:
            return l.encoding == pugi::encoding_utf16_le ? 0 : contradiction(declared, l);
        case named::utf16_be:
            return l.encoding == pugi::encoding_utf16_be ? 0 : contradiction(declared, l);
        case named::utf32_le:
            return l.encoding == pugi::encoding_utf32_le ? 0 : contradiction(declared, l);
        case named::utf32_be:
            return l.encoding == pugi::encoding_utf32_be ? 0 : contradiction(declared, l);
    }
    return 0;
}

// --- the text's extent and validity -------------------------------------------------------------

// The length up to the first NUL character: like load_string, a text ends there.
std::size_t length_before_nul(const unsigned char* s, std::size_t n, pugi::xml_encoding e) noexcept {
    const unsigned width = unit_size(e);
    if (width == 1) {
        const void* nul = std::memchr(s, 0, n);
        return nul ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - s) : n;
    }
    for (std::size_t i = 0; i + width <= n; i += width)
        if (unit_at(s + i, e, 0) == 0) return i;
    return n;
}

struct fault {
    std::size_t start = 0, end = 0;
    const char* reason = nullptr;
};

// Strict UTF-8 as Python's codec reads it (no surrogates, no overlong forms), ASCII 8 bytes a step.
bool valid_utf8(const unsigned char* s, std::size_t n, fault& f) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if (!(word & 0x8080808080808080ULL)) {
                i += 8;
                continue;
            }
        }
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) length = 2;
        else if (c == 0xE0) length = 3, low = 0xA0;
        else if (c == 0xED) length = 3, high = 0x9F;
        else if (c >= 0xE1 && c <= 0xEF) length = 3;
        else if (c == 0xF0) length = 4, low = 0x90;
        else if (c == 0xF4) length = 4, high = 0x8F;
        else if (c >= 0xF1 && c <= 0xF3) length = 4;
        else {
            f = {i, i + 1, "invalid start byte"};
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= n) {
                f = {i, n, "unexpected end of data"};
                return false;
            }
            unsigned char d = s[i + k];
            if (d < (k == 1 ? low : 0x80) || d > (k == 1 ? high : 0xBF)) {
                f = {i, i + k, "invalid continuation byte"};
                return false;
            }
        }
        i += length;
    }
    return true;
}

bool valid_utf16(const unsigned char* s, std::size_t n, pugi::xml_encoding e, fault& f) noexcept {
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        std::uint32_t u = unit_at(s + i, e, 0);
        if (u < 0xD800 || u > 0xDFFF) continue;
        if (u >= 0xDC00) {
            f = {i, i + 2, "illegal encoding"};
            return false;
        }
        if (i + 4 > n) {
            f = {i, n, "unexpected end of data"};
            return false;
        }
        std::uint32_t next = unit_at(s + i + 2, e, 0);
        if (next < 0xDC00 || next > 0xDFFF) {
            f = {i, i + 2, "illegal UTF-16 surrogate"};
            return false;
        }
        i += 2;
    }
    if (i != n) {
        f = {i, n, "truncated data"};
        return false;
    }
    return true;
}

bool valid_utf32(const unsigned char* s, std::size_t n, pugi::xml_encoding e, fault& f) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        std::uint32_t u = unit_at(s + i, e, 0);
        if (u > 0x10FFFF) {
            f = {i, i + 4, "code point not in range(0x110000)"};
            return false;
        }
        if (u >= 0xD800 && u <= 0xDFFF) {
            f = {i, i + 4, "code point in surrogate code point range(0xd800, 0xe000)"};
            return false;
        }
    }
    if (i != n) {
        f = {i, n, "truncated data"};
        return false;
    }
    return true;
}

bool valid_text(const unsigned char* s, std::size_t n, pugi::xml_encoding e, fault& f) noexcept {
    switch (unit_size(e)) {
        case 2: return valid_utf16(s, n, e, f);
        case 4: return valid_utf32(s, n, e, f);
        default: return e == pugi::encoding_latin1 || valid_utf8(s, n, f);
    }
}

bool has_high_byte(const unsigned char* s, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s + i, 8);
        if (word & 0x8080808080808080ULL) return true;
    }
    for (; i < n; ++i)
        if (s[i] & 0x80) return true;
    return false;
}

// The codec's own exception, over the bytes the load read.
void raise_decode_error(const char* data, std::size_t n, pugi::xml_encoding e, const fault& f) noexcept {
    Ref error = Ref::steal(PyUnicodeDecodeError_Create(codec_name(e), data, static_cast<Py_ssize_t>(n),
                                                       static_cast<Py_ssize_t>(f.start),
                                                       static_cast<Py_ssize_t>(f.end), f.reason));
    if (error) PyErr_SetObject(PyExceptionInstance_Class(error.get()), error.get());
}

// --- error positions ----------------------------------------------------------------------------

struct text_position {
    std::size_t offset = 0;  // characters before the fault
    std::size_t line = 1;
    std::size_t column = 1;
};

std::size_t utf8_length(std::uint32_t c) noexcept { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// Walks the characters of `s` (in encoding `e`, after any byte order mark) until their UTF-8 form,
// the form pugixml parsed, reaches `target` bytes. Reading stays inside `n` bytes whatever they hold.
text_position position_at(const unsigned char* s, std::size_t n, pugi::xml_encoding e, std::size_t target) noexcept {
    text_position p;
    std::size_t consumed = 0, i = 0;
    bool after_cr = false;
    const unsigned width = unit_size(e);
    while (i + width <= n) {
        std::uint32_t c;
        std::size_t step = width;
        if (e == pugi::encoding_utf8) {
            c = s[i];
            std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            step = std::min(length, n - i);
            c = length == 1 ? c : length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;  // only its UTF-8 size counts
        } else {
            c = unit_at(s + i, e, 0);
            if (width == 2 && c >= 0xD800 && c <= 0xDBFF && i + 4 <= n) c = 0x10000, step = 4;
        }
        if (consumed + utf8_length(c) > target) break;
        consumed += utf8_length(c);
        i += step;
        ++p.offset;
        if (c == '\n' && after_cr) {
            after_cr = false;
            continue;
        }
        after_cr = c == '\r';
        if (c == '\n' || c == '\r') {
            ++p.line;
            p.column = 1;
        } else {
            ++p.column;
        }
    }
    return p;
}

int set_int_attribute(PyObject* exc, const char* name, std::size_t value) noexcept {
    Ref number = Ref::steal(PyLong_FromSize_t(value));
    return number ? PyObject_SetAttrString(exc, name, number.get()) : -1;
}

// RuntimeError with pugixml's description, and where it happened.
void raise_parse_error(const pugi::xml_parse_result& result, const text_position& p) noexcept {
    Ref message = Ref::steal(PyUnicode_FromString(result.description()));
    if (!message) return;
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, message.get()));
    if (!exc) return;
    if (set_int_attribute(exc.get(), "offset", p.offset) < 0 || set_int_attribute(exc.get(), "line", p.line) < 0 ||
        set_int_attribute(exc.get(), "column", p.column) < 0)
        return;
    PyErr_SetRaisedException(exc.release());
}

std::size_t error_offset(const pugi::xml_parse_result& result) noexcept {
    return result.offset > 0 ? static_cast<std::size_t>(result.offset) : 0;
}

// --- the load itself ----------------------------------------------------------------------------

// Where the bytes of a load came from, to read them again when a parse fails (the parse runs in
// place and leaves the buffer changed).
struct origin {
    int fd = -1;                      // the file, read again from its start
    const unsigned char* data = nullptr;  // or bytes that stay valid until the load returns
    std::size_t size = 0;
};

class file_closer {
public:
    explicit file_closer(int fd) noexcept : fd_(fd) {}
    file_closer(const file_closer&) = delete;
    file_closer& operator=(const file_closer&) = delete;
    ~file_closer() {
        if (fd_ >= 0) ::close(fd_);
    }

private:
    int fd_;
};

// Positions for a failed native parse of `length` bytes in encoding `e`; with the lock held.
text_position native_position(const origin& from, const source_encoding& enc, std::size_t length,
                              const pugi::xml_parse_result& result) {
    std::size_t target = error_offset(result);
    // pugixml parses the mark too, as the three bytes of U+FEFF; the text the caller sees has none.
    if (enc.bom) target = target > 3 ? target - 3 : 0;
    const std::size_t per_byte = unit_size(enc.native);
    std::size_t wanted = std::min(length, enc.bom + (target + 1) * per_byte + 4);
    if (from.fd < 0) {
        std::size_t available = std::min(wanted, from.size);
        return available > enc.bom ? position_at(from.data + enc.bom, available - enc.bom, enc.native, target)
                                   : text_position{};
    }
    std::vector<unsigned char> again(wanted);
    std::size_t got = 0;
    while (got < wanted) {
        ssize_t r = ::pread(from.fd, again.data() + got, wanted - got, static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    if (got <= enc.bom) return {};
    return position_at(again.data() + enc.bom, got - enc.bom, enc.native, target);
}

// Moves a parsed document into the Document, which first drops whatever it holds by now.
int commit(DocumentObject* self, pugi::xml_document& parsed) noexcept {
    if (self->vtab->_reset(self) < 0) return -1;
    self->_document = std::move(parsed);
    self->_has_document = 1;
    return 0;
}

// A failed load leaves nothing loaded, also when another thread loaded something meanwhile.
int fail(DocumentObject* self) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    int reset = self->vtab->_reset(self);
    if (pending) {
        if (reset < 0) PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
    }
    return -1;
}

// A codec's UnicodeDecodeError may name its implementation ('charmap'): the error names the
// encoding as the document declares it instead.
void rename_decode_error(const std::string& declared) noexcept {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Py_ssize_t start = 0, end = 0;
    Ref object = Ref::steal(PyUnicodeDecodeError_GetObject(error.get()));
    Ref reason = Ref::steal(PyUnicodeDecodeError_GetReason(error.get()));
    const char* reason_text = reason ? PyUnicode_AsUTF8(reason.get()) : nullptr;
    if (!object || !reason_text || PyUnicodeDecodeError_GetStart(error.get(), &start) < 0 ||
        PyUnicodeDecodeError_GetEnd(error.get(), &end) < 0) {
        PyErr_Clear();
        PyErr_SetRaisedException(error.release());
        return;
    }
    Ref renamed = Ref::steal(PyUnicodeDecodeError_Create(declared.c_str(), PyBytes_AS_STRING(object.get()),
                                                         PyBytes_GET_SIZE(object.get()), start, end, reason_text));
    if (!renamed) return;
    PyException_SetCause(renamed.get(), error.release());
    PyErr_SetObject(PyExc_UnicodeDecodeError, renamed.get());
}

// Decodes with a Python codec and parses the UTF-8 of the result; the buffer is released as soon as
// the decoded text exists. With the lock held on entry and exit.
int load_decoded(DocumentObject* self, parse_buffer& buffer, const source_encoding& enc) {
    std::size_t length = length_before_nul(reinterpret_cast<unsigned char*>(buffer.data()), buffer.size(), pugi::encoding_utf8);
    Ref text = Ref::steal(PyUnicode_Decode(buffer.data(), static_cast<Py_ssize_t>(length), enc.codec.c_str(), "strict"));
    if (!text) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) rename_decode_error(enc.declared);
        return fail(self);
    }
    buffer.clear();
    if (!PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_LookupError, "encoding '%s' in the XML declaration is not a text encoding", enc.codec.c_str());
        return fail(self);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) return fail(self);
    std::size_t utf8_size = length_before_nul(reinterpret_cast<const unsigned char*>(utf8), static_cast<std::size_t>(size), pugi::encoding_utf8);
    pugi::xml_document parsed;
    pugi::xml_parse_result result;
    {
        GilRelease unlocked;  // the str is immutable and held: its UTF-8 stays put
        result = parsed.load_buffer(utf8, utf8_size, pugi::parse_default, pugi::encoding_utf8);
    }
    if (result.status == pugi::status_ok) return commit(self, parsed);
    raise_parse_error(result, position_at(reinterpret_cast<const unsigned char*>(utf8), utf8_size, pugi::encoding_utf8,
                                          error_offset(result)));
    return fail(self);
}

// Settles the encoding of the bytes in `buffer`, checks them and parses them in place; with the
// lock held on entry and exit.
int load_buffer(DocumentObject* self, parse_buffer& buffer, const origin& from) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    source_encoding enc;
    if (resolve_encoding(bytes, buffer.size(), enc) < 0) return fail(self);
    if (!enc.codec.empty()) return load_decoded(self, buffer, enc);
    pugi::xml_document parsed;
    pugi::xml_parse_result result;
    fault bad;
    bool valid, memory = true;
    std::size_t length;
    {
        GilRelease unlocked;
        length = enc.bom + length_before_nul(bytes + enc.bom, buffer.size() - enc.bom, enc.native);
        valid = valid_text(bytes, length, enc.native, bad);
        pugi::xml_encoding encoding = enc.native;
        std::size_t parsed_length = length;
        // 8-bit text that pugixml parses as it is gets the terminating NUL that pugixml's own copy
        // has (as in load_string): a parse in place without one would end one character early.
        if (valid && (encoding == pugi::encoding_utf8 ||
                      (encoding == pugi::encoding_latin1 && !has_high_byte(bytes, length)))) {
            memory = buffer.reserve(length + 1);
            if (memory) buffer.data()[length] = 0;
            encoding = pugi::encoding_utf8;
            parsed_length = length + 1;
        }
        if (valid && memory)
            result = parsed.load_buffer_inplace_own(buffer.release(), parsed_length, pugi::parse_default, encoding);
    }
    if (!memory) {
        PyErr_NoMemory();
        return fail(self);
    }
    if (!valid) {
        raise_decode_error(buffer.data(), buffer.size(), enc.native, bad);
        return fail(self);
    }
    if (result.status == pugi::status_ok) return commit(self, parsed);
    text_position where = native_position(from, enc, length, result);
    raise_parse_error(result, where);
    return fail(self);
}

int raise_os_error(int error, PyObject* path) noexcept {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return -1;
}

// Reads the whole file into `buffer` with the lock released: one read for a regular file, whose
// size is known, and growing reads for anything else (a pipe, a device). 0, or an errno value.
int read_file(int fd, parse_buffer& buffer) noexcept {
    struct stat info;
    if (::fstat(fd, &info) < 0) return errno;
    if (S_ISDIR(info.st_mode)) return EISDIR;
    constexpr std::size_t most = SIZE_MAX / 2;  // doubling a capacity must not wrap around
    const bool regular = S_ISREG(info.st_mode) && info.st_size > 0;
    if (regular && static_cast<std::uintmax_t>(info.st_size) >= most) return ENOMEM;
    std::size_t expected = regular ? static_cast<std::size_t>(info.st_size) : 0;
    // One byte more than the size, so that the end of the file shows without a second buffer.
    if (!buffer.reserve(expected + 1 > 65536 ? expected + 1 : 65536)) return ENOMEM;
    while (true) {
        if (buffer.size() == buffer.capacity() &&
            (buffer.capacity() > most || !buffer.reserve(buffer.capacity() * 2)))
            return ENOMEM;
        ssize_t r = ::read(fd, buffer.data() + buffer.size(), buffer.capacity() - buffer.size());
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return errno;
        if (r == 0) return 0;
        buffer.set_size(buffer.size() + static_cast<std::size_t>(r));
    }
}

int load_file_into(DocumentObject* self, PyObject* path) {
    if (self->vtab->_reset(self) < 0) return -1;
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, &converted)) return fail(self);
    Ref name = Ref::steal(converted);
    const char* file_name = PyBytes_AS_STRING(name.get());
    parse_buffer buffer;
    int fd = -1, error = 0;
    {
        GilRelease unlocked;
        do {
            fd = ::open(file_name, O_RDONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        error = fd < 0 ? errno : read_file(fd, buffer);
    }
    file_closer closer(fd);
    if (error == ENOMEM) {
        PyErr_NoMemory();
        return fail(self);
    }
    if (error) {
        // Named as open() names it: by the str or bytes the path stands for.
        Ref shown = Ref::steal(PyOS_FSPath(path));
        if (!shown) return fail(self);
        raise_os_error(error, shown.get());
        return fail(self);
    }
    origin from;
    from.fd = fd;
    return load_buffer(self, buffer, from);
}

class buffer_view {
public:
    buffer_view() noexcept = default;
    buffer_view(const buffer_view&) = delete;
    buffer_view& operator=(const buffer_view&) = delete;
    ~buffer_view() {
        if (view.obj) PyBuffer_Release(&view);
    }
    Py_buffer view{};
};

int load_bytes_into(DocumentObject* self, PyObject* data) {
    if (self->vtab->_reset(self) < 0) return -1;
    buffer_view held;
    if (PyObject_GetBuffer(data, &held.view, PyBUF_SIMPLE) < 0) return fail(self);
    const std::size_t size = static_cast<std::size_t>(held.view.len);
    parse_buffer buffer;
    // One byte more for the terminating NUL that 8-bit text is parsed with, so that adding it
    // copies nothing.
    if (!buffer.reserve(size + 1)) {
        PyErr_NoMemory();
        return fail(self);
    }
    {
        // The object cannot be resized or released while its buffer is held; its bytes are copied
        // once, and what the load does afterwards depends only on the copy.
        GilRelease unlocked;
        if (size) std::memcpy(buffer.data(), held.view.buf, size);
        buffer.set_size(size);
    }
    origin from;
    from.data = static_cast<const unsigned char*>(held.view.buf);
    from.size = size;
    return load_buffer(self, buffer, from);
}

// The boundary of both loaders. A native exception that ends a load ends it like any other
// failure, with the Document left empty: the loaders reset it on their own error paths, and here
// after the guard has translated what escaped them.
template <class Load>
PyObject* run_load(DocumentObject* self, const char* qualified_name, Load&& load) noexcept {
    bool returned = false;
    int status = guarded(-1, [&] {
        int done = load();
        returned = true;
        return done;
    });
    if (!returned) fail(self);
    if (status < 0) {
        add_traceback(qualified_name);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// --- load_string of a str that is not ASCII -------------------------------------------------------
//
// Such a str holds Latin-1, UCS-2 or UCS-4 code units. Encoded by the interpreter, its UTF-8 would be
// copied once more by pugixml's load_string; written straight into a buffer that pugixml then
// parses in place, it is moved once. The text ends at the first NUL character, as load_string's
// does; a surrogate anywhere in the str makes the interpreter's own encoder raise its error.

// The UTF-8 size of the units before the first NUL, or false when the str holds a surrogate.
template <class Unit>
bool utf8_size_of(const Unit* units, std::size_t length, std::size_t& size) noexcept {
    size = 0;
    bool ended = false;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        ended = ended || c == 0;
        if (!ended) size += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    return true;
}

// Latin-1, the common case of a str that is not ASCII: eight characters at a time.
std::size_t units_before_nul(const Py_UCS1* units, std::size_t length) noexcept {
    const void* nul = std::memchr(units, 0, length);
    return nul ? static_cast<std::size_t>(static_cast<const Py_UCS1*>(nul) - units) : length;
}

bool utf8_size_of(const Py_UCS1* units, std::size_t length, std::size_t& size) noexcept {
    std::size_t end = units_before_nul(units, length);
    size = end;
    std::size_t i = 0;
    for (; i + 8 <= end; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, units + i, 8);
        // The characters of 0x80 and above, each one more byte: their top bits, summed into the
        // top byte by one multiplication (a popcount is a library call without the instruction).
        size += static_cast<std::size_t>((((word & 0x8080808080808080ull) >> 7) * 0x0101010101010101ull) >> 56);
    }
    for (; i < end; ++i) size += units[i] >> 7;
    return true;
}

// Writes the `count` units before the first NUL as UTF-8.
void write_latin1(const Py_UCS1* units, std::size_t count, char* out) noexcept {
    std::size_t i = 0;
    while (i < count) {
        std::uint64_t word = 0;
        if (i + 8 <= count) std::memcpy(&word, units + i, 8);
        if (i + 8 <= count && (word & 0x8080808080808080ull) == 0) {
            std::memcpy(out, &word, 8);  // eight ASCII characters
            out += 8;
            i += 8;
            continue;
        }
        Py_UCS1 c = units[i++];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

template <class Unit>
void write_utf8(const Unit* units, std::size_t size, char* out) noexcept {
    char* end = out + size;
    while (out < end) {
        std::uint32_t c = *units++;
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out++ = static_cast<char>(0xE0 | (c >> 12));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

// The str's text up to its first NUL as UTF-8, in `buffer`; -1 with the interpreter's
// UnicodeEncodeError set for a str with a surrogate, or MemoryError.
int encode_str(PyObject* text, parse_buffer& buffer) noexcept {
    std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    const void* data = PyUnicode_DATA(text);
    int kind = PyUnicode_KIND(text);
    std::size_t size = 0;
    bool valid = kind == PyUnicode_1BYTE_KIND ? utf8_size_of(static_cast<const Py_UCS1*>(data), length, size)
                 : kind == PyUnicode_2BYTE_KIND ? utf8_size_of<Py_UCS2>(static_cast<const Py_UCS2*>(data), length, size)
                                                : utf8_size_of<Py_UCS4>(static_cast<const Py_UCS4*>(data), length, size);
    if (!valid) {
        Ref refused = Ref::steal(PyUnicode_AsUTF8String(text));
        if (!refused) return -1;
        PyErr_SetString(PyExc_SystemError, "a surrogate the encoder accepted");
        return -1;
    }
    if (!buffer.reserve(size + 1)) {
        PyErr_NoMemory();
        return -1;
    }
    if (kind == PyUnicode_1BYTE_KIND)
        write_latin1(static_cast<const Py_UCS1*>(data), units_before_nul(static_cast<const Py_UCS1*>(data), length),
                     buffer.data());
    else if (kind == PyUnicode_2BYTE_KIND)
        write_utf8(static_cast<const Py_UCS2*>(data), size, buffer.data());
    else
        write_utf8(static_cast<const Py_UCS4*>(data), size, buffer.data());
    buffer.data()[size] = '\0';
    buffer.set_size(size);
    return 0;
}

}  // namespace

int load_wide_str(DocumentObject* self, PyObject* text) noexcept {
    parse_buffer buffer;
    if (encode_str(text, buffer) < 0 || self->vtab->_reset(self) < 0) return -1;
    // The terminating zero is parsed too, as in the copy pugixml's load_string makes: pugixml
    // sets the last character of a buffer aside, and how a text cut short fails depends on it.
    std::size_t size = buffer.size() + 1;
    pugi::xml_parse_result result;
    bool parsed = guarded(false, [&] {
        result = self->_document.load_buffer_inplace_own(buffer.release(), size, pugi::parse_default,
                                                         pugi::encoding_utf8);
        return true;
    });
    if (parsed && result.status == pugi::status_ok) {
        self->_has_document = 1;
        return 0;
    }
    // As _load_string does: nothing stays loaded, and the error tells where in the text it is,
    // read from a fresh copy, since pugixml parsed this one in place.
    self->_document.reset();
    if (parsed) {
        parse_buffer original;
        if (encode_str(text, original) < 0) return -1;
        set_parse_error(result, original.data(), original.size());
    }
    add_traceback("tamarack.pugixml.Document._load_string");
    return -1;
}

void set_parse_error(const pugi::xml_parse_result& result, const char* text, std::size_t size) noexcept {
    raise_parse_error(result, position_at(reinterpret_cast<const unsigned char*>(text), size, pugi::encoding_utf8,
                                          error_offset(result)));
}

PyObject* load_file(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* path = single_argument(args, nargs, kwnames, "load_file", "path");
    if (!path) return nullptr;
    DocumentObject* self = as_document(obj);
    return run_load(self, "tamarack.pugixml.Document.load_file", [&] { return load_file_into(self, path); });
}

PyObject* load_bytes(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* data = single_argument(args, nargs, kwnames, "load_bytes", "data");
    if (!data) return nullptr;
    DocumentObject* self = as_document(obj);
    return run_load(self, "tamarack.pugixml.Document.load_bytes", [&] { return load_bytes_into(self, data); });
}

}  // namespace tamarack
