#include "app/StorageFile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QVariant>

#include <yaml.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace vantiro {

namespace {

struct Malformed
{
    QString why;
};

// Keys the library's writer accepts (and our files use): a letter or "_", then letters, digits,
// "_" and "-".
bool validKey(const std::string& key)
{
    if (key.empty() || key.size() > 256)
        return false;
    auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (!alpha(key[0]))
        return false;
    for (char c : key)
        if (!alpha(c) && !(c >= '0' && c <= '9') && c != '-')
            return false;
    return true;
}

void checkKey(const std::string& key)
{
    if (!validKey(key))
        throw Malformed{QStringLiteral("unsupported key \"%1\"").arg(QString::fromUtf8(key.data(), qsizetype(key.size())).left(40))};
}

// A type name from a tag, as the library writes it after "!!"; other tags are dropped.
std::string typeName(const char* tag)
{
    if (!tag)
        return {};
    std::string t(tag);
    const std::string standard = "tag:yaml.org,2002:";
    if (t.rfind(standard, 0) == 0)
        t = t.substr(standard.size());
    else if (!t.empty() && t[0] == '!')
        t = t.substr(1);
    if (t.empty() || t.size() > 64 || !validKey(t))
        return {};
    return t;
}

// A plain scalar as the library's reader types it: whole numbers that fit an int, then reals
// (".inf" and ".nan" in YAML's spelling), everything else text. Parsed in the C locale.
void writePlainScalar(cv::FileStorage& out, const std::string& key, const std::string& text)
{
    if (!text.empty()) {
        const QByteArray bytes = QByteArray::fromStdString(text);
        bool ok = false;
        const qlonglong whole = bytes.toLongLong(&ok, 10);
        if (ok && whole >= std::numeric_limits<int>::min() && whole <= std::numeric_limits<int>::max()) {
            cv::write(out, key, int(whole));
            return;
        }
        const QByteArray lower = bytes.toLower();
        const bool negative = lower.startsWith('-');
        const QByteArray body = (negative || lower.startsWith('+')) ? lower.mid(1) : lower;
        if (body == ".inf") {
            cv::write(out, key, negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity());
            return;
        }
        if (lower == ".nan") {
            cv::write(out, key, std::numeric_limits<double>::quiet_NaN());
            return;
        }
        // Digits, sign, point and exponent only: toDouble would also take "inf" and "nan".
        bool numeric = true;
        for (char c : body)
            numeric = numeric && ((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == '-' || c == '+');
        const double real = numeric ? bytes.toDouble(&ok) : 0.0;
        if (numeric && ok) {
            cv::write(out, key, real);
            return;
        }
    }
    writeStorageString(out, key, text);
}

class YamlParser
{
public:
    explicit YamlParser(const QByteArray& text)
    {
        yaml_parser_initialize(&m_parser);
        yaml_parser_set_encoding(&m_parser, YAML_UTF8_ENCODING);
        yaml_parser_set_input_string(&m_parser, reinterpret_cast<const unsigned char*>(text.constData()),
                                     size_t(text.size()));
    }
    ~YamlParser() { yaml_parser_delete(&m_parser); }
    YamlParser(const YamlParser&) = delete;
    YamlParser& operator=(const YamlParser&) = delete;

    // The next event; Malformed with libyaml's reason and position when there is none.
    yaml_event_t next()
    {
        yaml_event_t event;
        if (!yaml_parser_parse(&m_parser, &event)) {
            throw Malformed{QStringLiteral("%1 at line %2, column %3")
                                .arg(QString::fromUtf8(m_parser.problem ? m_parser.problem : "not YAML"))
                                .arg(m_parser.problem_mark.line + 1)
                                .arg(m_parser.problem_mark.column + 1)};
        }
        return event;
    }

private:
    yaml_parser_t m_parser;
};

struct EventGuard
{
    yaml_event_t& event;
    ~EventGuard() { yaml_event_delete(&event); }
};

// libyaml's events written through the library's writer, one by one.
void convertYaml(const QByteArray& text, cv::FileStorage& out)
{
    struct Frame
    {
        bool map = false;
        bool expectKey = false;
        std::string key;
    };
    std::vector<Frame> stack;
    int documents = 0;
    bool rootSeen = false;
    YamlParser parser(text);
    for (;;) {
        yaml_event_t event = parser.next();
        const EventGuard guard{event};
        switch (event.type) {
        case YAML_STREAM_END_EVENT:
            return;
        case YAML_DOCUMENT_START_EVENT:
            if (++documents > 1)
                throw Malformed{QStringLiteral("more than one document (a second \"---\" at line %1)")
                                    .arg(event.start_mark.line + 1)};
            break;
        case YAML_ALIAS_EVENT:
            throw Malformed{QStringLiteral("aliases are not supported (line %1)").arg(event.start_mark.line + 1)};
        case YAML_SCALAR_EVENT: {
            if (stack.empty())
                throw Malformed{QStringLiteral("the top level is not a map of keys")};
            Frame& f = stack.back();
            const std::string value(reinterpret_cast<const char*>(event.data.scalar.value), event.data.scalar.length);
            if (f.map && f.expectKey) {
                checkKey(value);
                f.key = value;
                f.expectKey = false;
                break;
            }
            const std::string key = f.map ? f.key : std::string();
            if (event.data.scalar.plain_implicit && event.data.scalar.style == YAML_PLAIN_SCALAR_STYLE)
                writePlainScalar(out, key, value);
            else
                writeStorageString(out, key, value);
            f.expectKey = f.map;
            break;
        }
        case YAML_SEQUENCE_START_EVENT:
        case YAML_MAPPING_START_EVENT: {
            const bool map = event.type == YAML_MAPPING_START_EVENT;
            if (stack.empty()) {
                if (!map || rootSeen)
                    throw Malformed{QStringLiteral("the top level is not a map of keys")};
                rootSeen = true;
                stack.push_back({true, true, {}});
                break;
            }
            if (int(stack.size()) >= kMaxStorageDepth)
                throw Malformed{QStringLiteral("nested deeper than %1 levels (line %2)")
                                    .arg(kMaxStorageDepth)
                                    .arg(event.start_mark.line + 1)};
            Frame& f = stack.back();
            if (f.map && f.expectKey)
                throw Malformed{QStringLiteral("a key that is not a name (line %1)").arg(event.start_mark.line + 1)};
            const bool flow = map ? event.data.mapping_start.style == YAML_FLOW_MAPPING_STYLE
                                  : event.data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE;
            const char* tag = reinterpret_cast<const char*>(map ? event.data.mapping_start.tag : event.data.sequence_start.tag);
            out.startWriteStruct(f.map ? f.key : std::string(),
                                 (map ? cv::FileNode::MAP : cv::FileNode::SEQ) | (flow ? cv::FileNode::FLOW : 0),
                                 typeName(tag));
            f.expectKey = f.map;
            stack.push_back({map, map, {}});
            break;
        }
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT:
            stack.pop_back();
            if (!stack.empty())
                out.endWriteStruct();
            break;
        default:
            break;
        }
    }
}

void convertJsonValue(const QJsonValue& value, const std::string& key, cv::FileStorage& out, int depth);

void convertJsonObject(const QJsonObject& object, cv::FileStorage& out, int depth)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        const std::string key = it.key().toStdString();
        if (key == "type_id")
            continue; // the library's JSON spelling of a type; handed to the writer by the caller
        checkKey(key);
        convertJsonValue(it.value(), key, out, depth);
    }
}

void convertJsonValue(const QJsonValue& value, const std::string& key, cv::FileStorage& out, int depth)
{
    if (depth >= kMaxStorageDepth)
        throw Malformed{QStringLiteral("nested deeper than %1 levels").arg(kMaxStorageDepth)};
    switch (value.type()) {
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        const std::string type = object.value(QStringLiteral("type_id")).isString()
                                     ? typeName(object.value(QStringLiteral("type_id")).toString().toUtf8().constData())
                                     : std::string();
        out.startWriteStruct(key, cv::FileNode::MAP, type);
        convertJsonObject(object, out, depth + 1);
        out.endWriteStruct();
        break;
    }
    case QJsonValue::Array: {
        out.startWriteStruct(key, cv::FileNode::SEQ | cv::FileNode::FLOW);
        for (const QJsonValue& item : value.toArray())
            convertJsonValue(item, std::string(), out, depth + 1);
        out.endWriteStruct();
        break;
    }
    case QJsonValue::Double: {
        // Integral numbers come back as qint64 from the parser.
        const QVariant v = value.toVariant();
        if (v.typeId() == QMetaType::LongLong && v.toLongLong() >= std::numeric_limits<int>::min() &&
            v.toLongLong() <= std::numeric_limits<int>::max())
            cv::write(out, key, int(v.toLongLong()));
        else
            cv::write(out, key, value.toDouble());
        break;
    }
    case QJsonValue::String:
        writeStorageString(out, key, value.toString().toStdString());
        break;
    case QJsonValue::Bool:
        cv::write(out, key, value.toBool() ? 1 : 0);
        break;
    default:
        throw Malformed{QStringLiteral("null or undefined value")};
    }
}

void convertJson(const QByteArray& text, cv::FileStorage& out)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        throw Malformed{QStringLiteral("%1 at offset %2").arg(error.errorString()).arg(error.offset)};
    if (!document.isObject())
        throw Malformed{QStringLiteral("the top level is not a map of keys")};
    convertJsonObject(document.object(), out, 1);
}

bool looksLikeJson(const QByteArray& text)
{
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        return c == '{';
    }
    return false;
}

// The library's header "%YAML:1.0" is not YAML, and its reader takes a document without the "---"
// a directive needs; as a comment it keeps the line numbers of libyaml's messages right.
QByteArray standardHeader(const QByteArray& text)
{
    if (!text.startsWith("%YAML:1.0"))
        return text;
    QByteArray fixed = text;
    fixed[0] = '#';
    return fixed;
}

} // namespace

void writeStorageString(cv::FileStorage& fs, const std::string& key, const std::string& value)
{
    // Wrapped in double quotes here, the writer passes it on as it is; escapes as its reader
    // understands them.
    std::string quoted;
    quoted.reserve(value.size() + 8);
    quoted += '"';
    for (const char c : value) {
        switch (c) {
        case '"':
            quoted += "\\\"";
            break;
        case '\\':
            quoted += "\\\\";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\r':
            quoted += "\\r";
            break;
        case '\t':
            quoted += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                static const char hex[] = "0123456789abcdef";
                quoted += "\\x";
                quoted += hex[(static_cast<unsigned char>(c) >> 4) & 0xf];
                quoted += hex[static_cast<unsigned char>(c) & 0xf];
            } else {
                quoted += c;
            }
        }
    }
    quoted += '"';
    cv::write(fs, key, quoted);
}

bool readStorageMatrix(const cv::FileNode& node, cv::Mat& out, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    try {
        if (node.empty() || !node.isMap())
            return fail(QStringLiteral("not a matrix"));
        const cv::FileNode rows = node["rows"], cols = node["cols"], dt = node["dt"], data = node["data"];
        if (!rows.isInt() || !cols.isInt() || !dt.isString())
            return fail(QStringLiteral("a matrix needs whole \"rows\" and \"cols\" and a type \"dt\""));
        const std::string type = dt.string();
        // An element count (default 1) and one type letter, as the library writes it.
        size_t letter = 0;
        while (letter < type.size() && type[letter] >= '0' && type[letter] <= '9')
            ++letter;
        const int channels = letter == 0 ? 1 : std::atoi(type.substr(0, std::min<size_t>(letter, 4)).c_str());
        if (letter > 3 || letter + 1 != type.size() || std::string("ucwsifd").find(type[letter]) == std::string::npos ||
            channels < 1 || channels > 4)
            return fail(QStringLiteral("unsupported matrix type \"%1\"").arg(QString::fromStdString(type)));
        const qint64 r = int(rows), c = int(cols);
        if (r < 0 || c < 0 || r > kMaxStorageFileBytes || c > kMaxStorageFileBytes)
            return fail(QStringLiteral("a matrix of %1 x %2").arg(r).arg(c));
        const qint64 expected = r * c * channels;
        const qint64 held = data.empty() ? 0 : (data.isSeq() ? qint64(data.size()) : -1);
        if (held != expected)
            return fail(QStringLiteral("a %1 x %2 matrix with %3 values").arg(r).arg(c).arg(held < 0 ? 1 : held));
        for (const cv::FileNode& v : data)
            if (!v.isInt() && !v.isReal())
                return fail(QStringLiteral("a matrix value that is not a number"));
        cv::Mat m;
        node >> m;
        out = m;
        return true;
    } catch (const cv::Exception& e) {
        return fail(QString::fromStdString(e.err).trimmed());
    }
}

StorageOpenResult openStorageText(const QByteArray& text, cv::FileStorage& fs)
{
    StorageOpenResult result;
    fs.release();
    if (text.size() > kMaxStorageFileBytes) {
        result.status = StorageStatus::TooLarge;
        result.error = QStringLiteral("larger than %1 MB").arg(kMaxStorageFileBytes / (1024 * 1024));
        return result;
    }
    try {
        const bool json = looksLikeJson(text);
        cv::FileStorage out(json ? "checked.json" : "checked.yml",
                            cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
        if (json)
            convertJson(text, out);
        else
            convertYaml(standardHeader(text), out);
        const std::string checked = out.releaseAndGetString();
        fs.open(checked, cv::FileStorage::READ | cv::FileStorage::MEMORY);
        if (!fs.isOpened())
            throw Malformed{QStringLiteral("no content")};
        result.status = StorageStatus::Opened;
    } catch (const Malformed& m) {
        result.status = StorageStatus::Malformed;
        result.error = m.why;
    } catch (const cv::Exception& e) {
        result.status = StorageStatus::Malformed;
        result.error = QString::fromStdString(e.err).trimmed();
    } catch (const std::exception& e) {
        result.status = StorageStatus::Malformed;
        result.error = QString::fromLocal8Bit(e.what());
    }
    if (!result.ok())
        fs.release();
    return result;
}

StorageOpenResult openStorageFile(const QString& path, cv::FileStorage& fs)
{
    StorageOpenResult result;
    fs.release();
    const QFileInfo info(path);
    if (!info.exists()) {
        result.status = StorageStatus::Missing;
        result.error = QStringLiteral("no such file");
        return result;
    }
    if (!info.isFile()) {
        result.status = StorageStatus::Unreadable;
        result.error = QStringLiteral("not a file");
        return result;
    }
    if (info.size() > kMaxStorageFileBytes) {
        result.status = StorageStatus::TooLarge;
        result.error = QStringLiteral("larger than %1 MB").arg(kMaxStorageFileBytes / (1024 * 1024));
        return result;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.status = StorageStatus::Unreadable;
        result.error = file.errorString();
        return result;
    }
    // One byte more than the size seen tells a file that grew since (the text is checked again);
    // read() allocates what it is asked for.
    const QByteArray text = file.read(info.size() + 1);
    if (file.error() != QFileDevice::NoError) {
        result.status = StorageStatus::Unreadable;
        result.error = file.errorString();
        return result;
    }
    return openStorageText(text, fs);
}

} // namespace vantiro
