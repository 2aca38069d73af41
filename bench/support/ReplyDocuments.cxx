#include "bench/support/ReplyDocuments.hxx"

#include <cstdint>
#include <cstdio>

namespace Quillomark::Bench {

namespace {

// Server kinds of the type descriptions.
enum ServerKind { DATE = 2, INT = 5, BOOL = 6, STRING = 8, REFERENCE = 9 };

struct PropertyShape {
    const char* name;
    ServerKind kind;
    bool array;
};

// 11 strings, 4 integers, 5 dates, 3 booleans, 4 references, 3 reference lists.
const PropertyShape SHAPES[PROPERTIES_PER_OBJECT] = {
    {"object_name", STRING, false},
    {"object_desc", STRING, false},
    {"object_type", STRING, false},
    {"item_id", STRING, false},
    {"item_revision_id", STRING, false},
    {"object_string", STRING, false},
    {"checked_out", STRING, false},
    {"protection", STRING, false},
    {"process_stage", STRING, false},
    {"current_id", STRING, false},
    {"timestamp", STRING, false},
    {"revision_number", INT, false},
    {"revision_limit", INT, false},
    {"acl_bits", INT, false},
    {"pid", INT, false},
    {"creation_date", DATE, false},
    {"last_mod_date", DATE, false},
    {"date_released", DATE, false},
    {"checked_out_date", DATE, false},
    {"archive_date", DATE, false},
    {"is_modifiable", BOOL, false},
    {"is_frozen", BOOL, false},
    {"has_variants", BOOL, false},
    {"item_revision", REFERENCE, false},
    {"id_dispdefault", REFERENCE, false},
    {"reservation", REFERENCE, false},
    {"checked_out_user", REFERENCE, false},
    {"release_statuses", REFERENCE, true},
    {"external_apps", REFERENCE, true},
    {"view", REFERENCE, true},
};

const char* const NOUNS[] = {"Bracket", "Housing", "Shaft", "Gasket", "Flange", "Cover",
                             "Bearing", "Spindle", "Clamp", "Hinge",  "Lever",  "Plate"};
const char* const ADJECTIVES[] = {"front", "rear",  "upper", "lower",
                                  "inner", "outer", "left",  "right"};

// A small, fixed pseudo-random sequence per object.
struct Sequence {
    std::uint64_t state;
    explicit Sequence(int seed)
        : state(0x9E3779B97F4A7C15ull * (static_cast<std::uint64_t>(seed) + 1)) {}
    std::uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33);
    }
    std::uint32_t below(std::uint32_t bound) { return next() % bound; }
};

void appendEscaped(std::string& out, const std::string& text) {
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
}

void appendAttribute(std::string& out, const char* name, const std::string& value) {
    out += ' ';
    out += name;
    out += "=\"";
    appendEscaped(out, value);
    out += '"';
}

std::string twoDigits(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02u", value % 100);
    return text;
}

std::string isoDate(Sequence& random) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", 2001 + random.below(20),
                  1 + random.below(12), 1 + random.below(28), random.below(24), random.below(60),
                  random.below(60));
    return text;
}

const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "2008-03-12T14:20:05" shown as "12-Mar-2008 14:20".
std::string shownDate(const std::string& iso) {
    const int month = std::stoi(iso.substr(5, 2));
    return iso.substr(8, 2) + "-" + MONTHS[month - 1] + "-" + iso.substr(0, 4) + " " +
           iso.substr(11, 5);
}

void appendProperty(std::string& out, const PropertyShape& shape, const std::string& shown,
                    const std::vector<std::string>& values) {
    out += "<properties";
    appendAttribute(out, "modifiable", shape.kind == REFERENCE ? "false" : "true");
    appendAttribute(out, "name", shape.name);
    appendAttribute(out, "uiValue", shown);
    if (values.empty()) {
        out += "/>";
        return;
    }
    out += '>';
    for (const std::string& value : values) {
        out += "<values";
        appendAttribute(out, "value", value);
        out += "/>";
    }
    out += "</properties>";
}

void appendObject(std::string& out, int index, int objects) {
    Sequence random(index);
    const std::string itemId = "0" + std::to_string(100000 + index);
    const std::string revision = std::string(1, static_cast<char>('A' + index % 26));
    const std::string noun = NOUNS[random.below(12)];
    const std::string adjective = ADJECTIVES[random.below(8)];
    const std::string name = adjective + " " + noun + " " + std::to_string(random.below(1000));

    out += "<dataObjects";
    appendAttribute(out, "uid", objectUid(index));
    appendAttribute(out, "className", REPLY_TYPE);
    appendAttribute(out, "type", REPLY_TYPE);
    out += '>';
    for (const PropertyShape& shape : SHAPES) {
        const std::string property = shape.name;
        std::vector<std::string> values;
        std::string shown;
        switch (shape.kind) {
            case STRING: {
                std::string text;
                if (property == "object_name")
                    text = name;
                else if (property == "object_desc")
                    text = "Machined " + noun + ", r\xC3\xA9vision " + revision + " & <" +
                           adjective + "> \xE2\x80\x93 see note " + twoDigits(random.next());
                else if (property == "object_type")
                    text = REPLY_TYPE;
                else if (property == "item_id" || property == "current_id")
                    text = itemId;
                else if (property == "item_revision_id")
                    text = revision;
                else if (property == "object_string")
                    text = itemId + "/" + revision + ";1-" + name;
                else if (property == "checked_out")
                    text = random.below(4) == 0 ? "Y" : "";
                else if (property == "protection")
                    text = "rw-r--r--";
                else if (property == "process_stage")
                    text = random.below(3) ? "" : "Review";
                else
                    text = std::to_string(1200000000u + random.below(100000000u));
                values.push_back(text);
                shown = text;
                break;
            }
            case INT: {
                const std::string text = std::to_string(random.below(100000));
                values.push_back(text);
                shown = text;
                break;
            }
            case DATE: {
                const std::string text = isoDate(random);
                values.push_back(text);
                shown = shownDate(text);
                break;
            }
            case BOOL: {
                const bool value = random.below(2) == 1;
                values.push_back(value ? "true" : "false");
                shown = value ? "True" : "False";
                break;
            }
            case REFERENCE: {
                const int count = shape.array ? static_cast<int>(random.below(3)) : 1;
                for (int v = 0; v < count; ++v) {
                    // Half the single references are empty; the others, and
                    // every list element, name an object of the reply.
                    if (!shape.array && random.below(2) == 0) {
                        values.emplace_back();
                        continue;
                    }
                    const int target =
                        static_cast<int>(random.below(static_cast<std::uint32_t>(objects)));
                    values.push_back(objectUid(target));
                    if (!shown.empty()) shown += ", ";
                    shown += "0" + std::to_string(100000 + target);
                }
                break;
            }
        }
        appendProperty(out, shape, shown, values);
    }
    out += "</dataObjects>\n";
}

const char* const CHAIN[][2] = {
    {"POM_object", ""},
    {"POM_application_object", "POM_object"},
    {"WorkspaceObject", "POM_application_object"},
    {REPLY_TYPE, "WorkspaceObject"},
};

}  // namespace

std::string objectUid(int index) {
    static const char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_$";
    std::string uid = "Q";
    std::uint32_t rest = static_cast<std::uint32_t>(index);
    for (int i = 0; i < 5; ++i, rest >>= 6) uid += DIGITS[rest & 63];
    Sequence random(index + 7777777);
    while (uid.size() < 14) uid += DIGITS[random.below(64)];
    return uid;
}

std::string replyDocument(int objects) {
    std::string out;
    out.reserve(static_cast<std::size_t>(objects) * 3200 + 256);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<serviceData>\n";
    for (int i = 0; i < objects; ++i) {
        out += "<plainObjs";
        appendAttribute(out, "uid", objectUid(i));
        out += "/>\n";
    }
    for (int i = 0; i < objects; ++i) appendObject(out, i, objects);
    out += "</serviceData>\n";
    return out;
}

std::string schemaDocument() {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<modelSchema>\n";
    for (const auto& link : CHAIN) {
        const std::string name = link[0];
        out += "<types";
        if (*link[1] != '\0') appendAttribute(out, "parentTypeName", link[1]);
        appendAttribute(out, "name", name);
        appendAttribute(out, "uid", "TYPE::" + name);
        appendAttribute(out, "className", name);
        out += '>';
        if (name == REPLY_TYPE) {
            for (const PropertyShape& shape : SHAPES) {
                out += "<propDescriptors";
                appendAttribute(out, "name", shape.name);
                appendAttribute(out, "displayable", "true");
                appendAttribute(out, "type", std::to_string(shape.kind));
                appendAttribute(out, "anArray", shape.array ? "true" : "false");
                appendAttribute(out, "modifiable", shape.kind == REFERENCE ? "false" : "true");
                out += "/>";
            }
        }
        out += "</types>\n";
    }
    out += "</modelSchema>\n";
    return out;
}

std::string typeSchemaDocument(int count, bool chain) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<modelSchema>\n";
    const auto type = [&](const std::string& name, const std::string& parent) {
        out += "<types";
        if (!parent.empty()) appendAttribute(out, "parentTypeName", parent);
        appendAttribute(out, "name", name);
        appendAttribute(out, "uid", "TYPE::" + name);
        out += "/>\n";
    };
    type(REPLY_TYPE, "");
    const auto name = [](int n) { return "Level" + std::to_string(n); };
    for (int n = count - 1; n >= 0; --n) {
        const int above = n + 1 < count ? (chain ? n + 1 : count - 1) : -1;
        type(name(n), above < 0 ? REPLY_TYPE : name(above));
    }
    out += "</modelSchema>\n";
    return out;
}

}  // namespace Quillomark::Bench
