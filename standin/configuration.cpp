// Configuration documents and the pixel mask of the simulated device.
//
// The mask has one byte per pixel of the matrix (512 x 512 by default: 2 x 2
// chips of 256 x 256), element [x, y] at byte x * height + y, nonzero masked.
// The acquisition engine drops the hits of masked pixels (sim::pixel_mask).
//
// Documents come in two types, each a small subset of its language, with one
// schema (docs/configuration.md has the same description):
//
//   "xml":
//     <?xml version="1.0"?>                      optional; <!-- comments --> anywhere
//     <configuration>
//       <chip index="0">                          chip number or "all" (the default)
//         <polarity>negative</polarity>           positive | negative
//         <dac name="Ibias_Preamp_ON">128</dac>   integer
//         <threshold name="THL">5.5</threshold>   keV
//         <raw_threshold name="THL">1200</raw_threshold>
//       </chip>
//       <mask>
//         <pixel x="10" y="20"/>                  masked; masked="0" unmasks
//       </mask>
//     </configuration>
//   Attribute values in single or double quotes; the entities &lt; &gt; &amp;
//   &quot; &apos;. No DTD, CDATA or namespaces.
//
//   "yml":
//     chips:
//       all:                                      chip number or "all"
//         polarity: negative
//         dac:
//           Ibias_Preamp_ON: 128
//         threshold:
//           THL: 5.5
//         raw_threshold:
//           THL: 1200
//     mask:
//       - [10, 20]                                x, y: masked
//       - [11, 20, 0]                             x, y, 0: unmasked
//   Block style indented with spaces, "#" comments, an optional leading "---",
//   plain or quoted scalars; no flow mappings, anchors or multi-line scalars.
//
// A document is parsed and checked whole, its chip settings are tried on a
// scratch context, and only then is anything applied: a refused document
// leaves the device as it was. Failures are -3 with the line they concern.
#include "configuration_control.h"
#include "sim.hpp"

#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>

namespace {

// ---------------------------------------------------------------- mask

std::mutex size_mutex;
size_t matrix_w = 512, matrix_h = 512;

struct Mask {
    std::mutex m;
    size_t w = 0, h = 0;
    std::vector<uint8_t> bytes;
    bool any = false;  // some pixel masked
    // Follows the matrix size: a mask of another size is cleared. Needs m.
    void fit() {
        size_t W, H;
        {
            std::lock_guard<std::mutex> lock(size_mutex);
            W = matrix_w, H = matrix_h;
        }
        if (W == w && H == h) return;
        w = W, h = H;
        bytes.assign(W * H, 0);
        any = false;
    }
    void set(size_t x, size_t y, uint8_t v) { bytes[x * h + y] = v; }
    void recount() {
        any = std::any_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b != 0; });
    }
};

void reset_mask_model() {
    std::lock_guard<std::mutex> lock(size_mutex);
    matrix_w = matrix_h = 512;
}

const int mask_part = sim::add_part({"configuration", reset_mask_model, nullptr});

Mask& mask_of(kelo_ctx_t* ctx) { return ctx->part<Mask>(mask_part); }


// ------------------------------------------------------------ documents

struct DocError {
    int line;
    std::string what;
};
[[noreturn]] void fail_at(int line, std::string what) { throw DocError{line, std::move(what)}; }

struct Setting {
    int line;
    std::string kind;
    int chip;
    std::string name;
    double value;
};
struct Pixel {
    size_t x, y;
    uint8_t value;
};
// What a document asks for, checked against a matrix of w x h.
struct Plan {
    size_t w, h;
    std::vector<Setting> settings;
    std::vector<Pixel> pixels;
};

constexpr int kMaxDepth = 16;  // the schema needs 3; deeper is refused, not recursed into

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

long long integer(int line, const std::string& s, const std::string& what) {
    long long v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) fail_at(line, what + " must be an integer, not '" + s + "'");
    return v;
}

double real(int line, const std::string& s, const std::string& what) {
    double v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty() || !std::isfinite(v))
        fail_at(line, what + " must be a number, not '" + s + "'");
    return v;
}

int chip_index(int line, const std::string& s) {
    if (s == "all") return -1;
    long long v = integer(line, s, "a chip index");
    if (v < 0 || v > INT_MAX) fail_at(line, "chip index " + s + " is out of range");
    return (int)v;
}

bool is_valued_kind(const std::string& k) { return k == "dac" || k == "threshold" || k == "raw_threshold"; }

void add_setting(Plan& p, int line, const std::string& kind, int chip, const std::string& name, const std::string& text) {
    double v;
    if (kind == "polarity") {
        if (text != "positive" && text != "negative") fail_at(line, "polarity must be positive or negative, not '" + text + "'");
        v = text == "negative";
    } else if (!is_valued_kind(kind)) {
        fail_at(line, "unknown setting '" + kind + "'");
    } else if (name.empty()) {
        fail_at(line, kind + " without a name");
    } else if (kind == "threshold") {
        v = real(line, text, "a threshold");
    } else {
        long long i = integer(line, text, "a " + kind + " value");
        if (i < INT_MIN || i > INT_MAX) fail_at(line, kind + " value " + text + " is out of range");
        v = (double)i;
    }
    p.settings.push_back({line, kind, chip, name, v});
}

void add_pixel(Plan& p, int line, const std::string& x, const std::string& y, const std::string* masked) {
    long long X = integer(line, x, "x"), Y = integer(line, y, "y");
    long long V = masked ? integer(line, *masked, "masked") : 1;
    if (X < 0 || Y < 0 || (size_t)X >= p.w || (size_t)Y >= p.h)
        fail_at(line, "pixel (" + x + ", " + y + ") is outside the " + std::to_string(p.w) + " x " + std::to_string(p.h) + " matrix");
    if (V < 0 || V > 255) fail_at(line, "masked must be 0 to 255, not " + *masked);
    p.pixels.push_back({(size_t)X, (size_t)Y, (uint8_t)V});
}

// ---- xml

struct Element {
    int line = 0;
    std::string name, text;
    std::vector<std::pair<std::string, std::string>> attrs;
    std::vector<Element> kids;
    const std::string* attr(const std::string& n) const {
        for (auto& [k, v] : attrs)
            if (k == n) return &v;
        return nullptr;
    }
};

class XmlReader {
    const std::string& s_;
    size_t i_ = 0;
    int line_ = 1;

    bool at(const char* t) const { return s_.compare(i_, std::strlen(t), t) == 0; }
    char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
    void advance(size_t n = 1) {
        for (; n && i_ < s_.size(); --n)
            if (s_[i_++] == '\n') ++line_;
    }
    void skip_past(const char* end, const char* what) {
        size_t j = s_.find(end, i_);
        if (j == std::string::npos) fail_at(line_, std::string("unterminated ") + what);
        advance(j + std::strlen(end) - i_);
    }
    void space() {
        while (std::isspace((unsigned char)peek())) advance();
    }
    // Skips a comment or processing instruction; false at anything else.
    bool markup() {
        if (at("<!--"))
            skip_past("-->", "comment");
        else if (at("<?"))
            skip_past("?>", "processing instruction");
        else if (at("<!"))
            fail_at(line_, "declarations and CDATA are not supported");
        else
            return false;
        return true;
    }
    // Whitespace, comments and processing instructions between elements.
    void misc() {
        do space();
        while (markup());
    }
    std::string name() {
        size_t b = i_;
        for (char c = peek(); c && (std::isalnum((unsigned char)c) || std::strchr("_-.:", c)); c = peek()) advance();
        if (b == i_) fail_at(line_, "expected a name");
        return s_.substr(b, i_ - b);
    }
    static std::string decode(const std::string& raw, int line) {
        static const std::pair<const char*, char> entities[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
        std::string out;
        for (size_t k = 0; k < raw.size(); ++k) {
            if (raw[k] != '&') {
                out += raw[k];
                continue;
            }
            size_t semi = raw.find(';', k);
            std::string ent = semi == std::string::npos ? raw.substr(k) : raw.substr(k + 1, semi - k - 1);
            auto e = std::find_if(std::begin(entities), std::end(entities), [&](auto& p) { return ent == p.first; });
            if (e == std::end(entities)) fail_at(line, "unknown entity &" + ent + ";");
            out += e->second;
            k = semi;
        }
        return out;
    }
    Element element(int depth) {
        Element e;
        e.line = line_;
        if (depth > kMaxDepth) fail_at(line_, "elements nested too deep");
        if (peek() != '<') fail_at(line_, "expected an element");
        advance();
        e.name = name();
        for (;;) {
            space();
            if (at("/>")) {
                advance(2);
                return e;
            }
            if (peek() == '>') {
                advance();
                break;
            }
            int line = line_;
            std::string key = name();
            space();
            if (peek() != '=') fail_at(line_, "expected '=' after attribute " + key);
            advance();
            space();
            char q = peek();
            if (q != '"' && q != '\'') fail_at(line_, "the value of attribute " + key + " must be quoted");
            advance();
            size_t j = s_.find(q, i_);
            if (j == std::string::npos) fail_at(line, "unterminated value of attribute " + key);
            std::string raw = s_.substr(i_, j - i_);
            advance(j + 1 - i_);
            if (e.attr(key)) fail_at(line, "attribute " + key + " given twice");
            e.attrs.emplace_back(key, decode(raw, line));
        }
        for (;;) {
            size_t j = s_.find('<', i_);
            if (j == std::string::npos) fail_at(e.line, "<" + e.name + "> is not closed");
            e.text += decode(s_.substr(i_, j - i_), line_);
            advance(j - i_);
            if (at("</")) {
                advance(2);
                int line = line_;
                std::string n = name();
                space();
                if (peek() != '>') fail_at(line_, "expected '>' after </" + n);
                advance();
                if (n != e.name) fail_at(line, "</" + n + "> closes <" + e.name + "> of line " + std::to_string(e.line));
                return e;
            }
            if (!markup()) e.kids.push_back(element(depth + 1));
        }
    }

public:
    explicit XmlReader(const std::string& s) : s_(s) {}
    Element document() {
        misc();
        if (i_ == s_.size()) fail_at(line_, "the document is empty");
        Element root = element(0);
        misc();
        if (i_ < s_.size()) fail_at(line_, "content after the root element");
        return root;
    }
};

void only_attrs(const Element& e, std::initializer_list<const char*> allowed) {
    for (auto& [k, v] : e.attrs)
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return k == a; }))
            fail_at(e.line, "<" + e.name + "> has no attribute " + k);
}

void no_text(const Element& e) {
    if (!trim(e.text).empty()) fail_at(e.line, "<" + e.name + "> holds elements, not text");
}

void no_kids(const Element& e) {
    if (!e.kids.empty()) fail_at(e.kids[0].line, "<" + e.name + "> holds a value, not <" + e.kids[0].name + ">");
}

void from_xml(const std::string& doc, Plan& p) {
    Element root = XmlReader(doc).document();
    if (root.name != "configuration") fail_at(root.line, "the root element must be <configuration>, not <" + root.name + ">");
    only_attrs(root, {});
    no_text(root);
    for (auto& e : root.kids) {
        no_text(e);
        if (e.name == "chip") {
            only_attrs(e, {"index"});
            const std::string* index = e.attr("index");
            int chip = index ? chip_index(e.line, *index) : -1;
            for (auto& s : e.kids) {
                no_kids(s);
                if (s.name == "polarity")
                    only_attrs(s, {});
                else
                    only_attrs(s, {"name"});
                const std::string* name = s.attr("name");
                add_setting(p, s.line, s.name, chip, name ? *name : std::string(), trim(s.text));
            }
        } else if (e.name == "mask") {
            only_attrs(e, {});
            for (auto& px : e.kids) {
                if (px.name != "pixel") fail_at(px.line, "<mask> holds <pixel> elements, not <" + px.name + ">");
                only_attrs(px, {"x", "y", "masked"});
                no_kids(px);
                const std::string *x = px.attr("x"), *y = px.attr("y"), *masked = px.attr("masked");
                if (!x || !y) fail_at(px.line, "<pixel> needs the attributes x and y");
                add_pixel(p, px.line, *x, *y, masked);
            }
        } else {
            fail_at(e.line, "unknown element <" + e.name + "> in <configuration>");
        }
    }
}

// ---- yml

struct YLine {
    int no;
    size_t indent;
    bool item;  // "- value"
    std::string key, value;
};

std::string unquote(const std::string& s) {
    if (s.size() >= 2 && (s[0] == '"' || s[0] == '\'') && s.back() == s[0]) return s.substr(1, s.size() - 2);
    return s;
}

// The line without its comment: "#" at the start or after a blank, outside quotes.
std::string strip_comment(const std::string& raw) {
    char quote = 0;
    for (size_t k = 0; k < raw.size(); ++k) {
        char c = raw[k];
        if (quote)
            quote = c == quote ? 0 : quote;
        else if (c == '"' || c == '\'')
            quote = c;
        else if (c == '#' && (k == 0 || raw[k - 1] == ' ' || raw[k - 1] == '\t'))
            return raw.substr(0, k);
    }
    return raw;
}

YLine yml_line(int no, size_t indent, const std::string& body) {
    YLine l{no, indent, false, {}, {}};
    if (body == "-" || body.compare(0, 2, "- ") == 0) {
        l.item = true;
        l.value = trim(body.substr(1));
        if (l.value.empty()) fail_at(no, "empty list item");
        return l;
    }
    size_t colon;
    if (body[0] == '"' || body[0] == '\'') {
        size_t close = body.find(body[0], 1);
        if (close == std::string::npos) fail_at(no, "unterminated quoted key");
        l.key = body.substr(1, close - 1);
        colon = close + 1;
        if (colon >= body.size() || body[colon] != ':') fail_at(no, "expected ':' after the key \"" + l.key + "\"");
    } else {
        colon = body.find(": ");
        if (colon == std::string::npos && body.back() == ':') colon = body.size() - 1;
        if (colon == std::string::npos) fail_at(no, "expected 'key: value' or '- item', got '" + body + "'");
        l.key = trim(body.substr(0, colon));
    }
    l.value = unquote(trim(body.substr(colon + 1)));
    if (l.key.empty()) fail_at(no, "empty key");
    return l;
}

std::vector<YLine> yml_lines(const std::string& doc) {
    std::vector<YLine> lines;
    int no = 0;
    for (size_t pos = 0; pos <= doc.size();) {
        size_t end = std::min(doc.find('\n', pos), doc.size());
        std::string raw = strip_comment(doc.substr(pos, end - pos));
        pos = end + 1;
        ++no;
        size_t indent = raw.find_first_not_of(' ');
        std::string body = trim(raw);
        if (body.empty()) continue;
        if (raw[indent] == '\t') fail_at(no, "indentation must be spaces, not tabs");
        if (body == "---") {
            if (!lines.empty() || indent) fail_at(no, "'---' may only start the document");
            continue;
        }
        lines.push_back(yml_line(no, indent, body));
    }
    return lines;
}

struct YNode {
    YLine l;
    std::vector<YNode> kids;
};

// The lines from i on at `indent`, each with the deeper lines below it.
std::vector<YNode> yml_block(const std::vector<YLine>& ls, size_t& i, size_t indent, int depth) {
    if (depth > kMaxDepth) fail_at(ls[i].no, "blocks nested too deep");
    std::vector<YNode> out;
    while (i < ls.size() && ls[i].indent >= indent) {
        if (ls[i].indent != indent) fail_at(ls[i].no, "indentation does not match the lines above");
        YNode n{ls[i++], {}};
        bool opens = !n.l.item && n.l.value.empty();
        if (i < ls.size() && ls[i].indent > indent) {
            if (!opens) fail_at(ls[i].no, "a nested block under a line that has a value");
            n.kids = yml_block(ls, i, ls[i].indent, depth + 1);
        } else if (opens) {
            while (i < ls.size() && ls[i].indent == indent && ls[i].item) n.kids.push_back({ls[i++], {}});  // "key:" then "- item" at its level
        }
        out.push_back(std::move(n));
    }
    return out;
}

const YNode& keyed(const YNode& n) {
    if (n.l.item) fail_at(n.l.no, "expected 'key: value', got a list item");
    return n;
}
void block_of(const YNode& n) {
    if (n.kids.empty()) fail_at(n.l.no, "'" + n.l.key + ":' needs a nested block");
}
void leaf(const YNode& n) {
    if (n.l.value.empty()) fail_at(n.l.no, "'" + n.l.key + ":' needs a value");
}

void from_yml(const std::string& doc, Plan& p) {
    std::vector<YLine> ls = yml_lines(doc);
    if (ls.empty()) fail_at(1, "the document is empty");
    size_t i = 0;
    std::vector<YNode> top = yml_block(ls, i, ls[0].indent, 0);
    if (i < ls.size()) fail_at(ls[i].no, "indentation does not match the lines above");
    for (auto& t : top) {
        const std::string& key = keyed(t).l.key;
        if (key == "chips") {
            block_of(t);
            for (auto& c : t.kids) {
                int chip = chip_index(c.l.no, keyed(c).l.key);
                block_of(c);
                for (auto& s : c.kids) {
                    const std::string& kind = keyed(s).l.key;
                    if (kind == "polarity") {
                        leaf(s);
                        add_setting(p, s.l.no, kind, chip, "", s.l.value);
                        continue;
                    }
                    if (!is_valued_kind(kind)) fail_at(s.l.no, "unknown setting '" + kind + "'");
                    block_of(s);
                    for (auto& d : s.kids) {
                        leaf(keyed(d));
                        add_setting(p, d.l.no, kind, chip, d.l.key, d.l.value);
                    }
                }
            }
        } else if (key == "mask") {
            block_of(t);
            for (auto& m : t.kids) {
                const std::string& v = m.l.value;
                if (!m.l.item || v.size() < 2 || v.front() != '[' || v.back() != ']') fail_at(m.l.no, "expected '- [x, y]' or '- [x, y, masked]'");
                std::vector<std::string> parts;
                for (size_t b = 1, e; b < v.size(); b = e + 1) {
                    e = std::min(v.find(',', b), v.size() - 1);
                    parts.push_back(unquote(trim(v.substr(b, e - b))));
                }
                if (parts.size() != 2 && parts.size() != 3) fail_at(m.l.no, "expected '- [x, y]' or '- [x, y, masked]'");
                add_pixel(p, m.l.no, parts[0], parts[1], parts.size() == 3 ? &parts[2] : nullptr);
            }
        } else {
            fail_at(t.l.no, "unknown key '" + key + "' (expected chips or mask)");
        }
    }
}

// Applies the chip settings in document order; the first refusal ends it.
int apply_settings(kelo_ctx_t* ctx, const Plan& p, const std::string& type, std::string* error) {
    for (auto& s : p.settings) {
        std::string why;
        int status = sim::chip_setting(ctx, s.kind, s.chip, s.name, s.value, &why);
        if (status < 0) {
            *error = type + " document, line " + std::to_string(s.line) + ": " + why;
            return status;
        }
    }
    return 0;
}

}  // namespace

namespace sim {

std::vector<uint8_t> pixel_mask(kelo_ctx_t* ctx, size_t* width, size_t* height) {
    Mask& m = mask_of(ctx);
    std::lock_guard<std::mutex> lock(m.m);
    m.fit();
    if (width) *width = m.w;
    if (height) *height = m.h;
    return m.any ? m.bytes : std::vector<uint8_t>();
}

}  // namespace sim

extern "C" {

KELO_API int kelo_load_configuration(kelo_ctx_t* ctx, const char* type, const char* content) {
    SIM_ENTER(ctx, type, content);
    SIM_SCRIPTED();
    SIM_NEED(ctx);
    if (!type || !content) return sim::fail(ctx, -5, "type or content is null");
    if (!sim::is_open(ctx)) return sim::fail(ctx, -2, "no device is open");
    std::string kind = type;
    if (kind != "xml" && kind != "yml") return sim::fail(ctx, -3, "unknown configuration type '" + kind + "' (known: xml, yml)");
    Plan plan{};
    {
        Mask& m = mask_of(ctx);
        std::lock_guard<std::mutex> lock(m.m);
        m.fit();
        plan.w = m.w, plan.h = m.h;
    }
    try {
        kind == "xml" ? from_xml(content, plan) : from_yml(content, plan);
    } catch (const DocError& e) {
        return sim::fail(ctx, -3, kind + " document, line " + std::to_string(e.line) + ": " + e.what);
    } catch (const std::bad_alloc&) {
        return sim::fail(ctx, -4, "out of memory reading the document");
    }
    std::string error;
    {
        // A trial on a device of the same state, so that a refused setting
        // leaves the real one untouched.
        kelo_ctx scratch;
        {
            std::lock_guard<std::mutex> lock(ctx->m);
            scratch.opened = ctx->opened;
        }
        int status = apply_settings(&scratch, plan, kind, &error);
        sim::context_gone(&scratch);
        if (status < 0) return sim::fail(ctx, status, error);
    }
    if (int status = apply_settings(ctx, plan, kind, &error); status < 0) return sim::fail(ctx, status, error);
    Mask& m = mask_of(ctx);
    std::lock_guard<std::mutex> lock(m.m);
    m.fit();
    if (m.w == plan.w && m.h == plan.h && !plan.pixels.empty()) {
        for (auto& px : plan.pixels) m.set(px.x, px.y, px.value);
        m.recount();
    }
    return 0;
}

KELO_API int kelo_get_pixel_mask_size(kelo_ctx_t* ctx, pixel_mask_size* size) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(size ? &size->width : nullptr, size ? &size->height : nullptr);
    SIM_NEED(ctx);
    if (!size) return sim::fail(ctx, -5, "size is null");
    if (!sim::is_open(ctx)) return sim::fail(ctx, -2, "no device is open");
    Mask& m = mask_of(ctx);
    std::lock_guard<std::mutex> lock(m.m);
    m.fit();
    size->width = m.w, size->height = m.h;
    return 0;
}

KELO_API int kelo_get_pixel_mask(kelo_ctx_t* ctx, pixel_mask* mask, size_t* retrieved) {
    SIM_ENTER(ctx, mask ? (const void*)mask->data : nullptr, mask ? (uint64_t)mask->data_len : 0);
    SIM_SCRIPTED(retrieved);
    SIM_NEED(ctx);
    if (!mask || !retrieved || (!mask->data && mask->data_len)) return sim::fail(ctx, -5, "mask or retrieved is null");
    if (!sim::is_open(ctx)) return sim::fail(ctx, -2, "no device is open");
    Mask& m = mask_of(ctx);
    std::lock_guard<std::mutex> lock(m.m);
    m.fit();
    if (size_t n = std::min(mask->data_len, m.bytes.size())) std::memcpy(mask->data, m.bytes.data(), n);
    *retrieved = m.bytes.size();
    return 0;
}

KELO_API int kelo_set_pixel_mask(kelo_ctx_t* ctx, const pixel_mask* mask) {
    SIM_ENTER(ctx, mask ? (const void*)mask->data : nullptr, mask ? (uint64_t)mask->data_len : 0);
    SIM_SCRIPTED();
    SIM_NEED(ctx);
    if (!mask || (!mask->data && mask->data_len)) return sim::fail(ctx, -5, "mask is null");
    if (!sim::is_open(ctx)) return sim::fail(ctx, -2, "no device is open");
    Mask& m = mask_of(ctx);
    std::lock_guard<std::mutex> lock(m.m);
    m.fit();
    if (mask->data_len != m.bytes.size())
        return sim::fail(ctx, -3, "the mask has " + std::to_string(mask->data_len) + " bytes, the device's " + std::to_string(m.w) + " x " +
                                      std::to_string(m.h) + " pixels");
    if (mask->data_len) std::memcpy(m.bytes.data(), mask->data, mask->data_len);
    m.recount();
    return 0;
}

// ------------------------------------------------------------ control API

KELOSIM_API void kelosim_mask_size(size_t width, size_t height) {
    if (width && height > (size_t(1) << 28) / width) return;  // refuse what no test needs and no memory holds
    std::lock_guard<std::mutex> lock(size_mutex);
    matrix_w = width, matrix_h = height;
}

KELOSIM_API size_t kelosim_mask_read(uint8_t* buf, size_t cap, size_t* width, size_t* height) {
    auto live = sim::live_contexts();
    if (width) *width = 0;
    if (height) *height = 0;
    if (live.empty()) return 0;
    Mask& m = mask_of(live.back());
    std::lock_guard<std::mutex> lock(m.m);
    m.fit();
    if (width) *width = m.w;
    if (height) *height = m.h;
    if (buf && cap && !m.bytes.empty()) std::memcpy(buf, m.bytes.data(), std::min(cap, m.bytes.size()));
    return m.bytes.size();
}

}  // extern "C"
