#include "cli/ArgParser.h"

#include <cmath>

namespace cli {

ArgParser::ArgParser(QString command, QString synopsis, QString description)
    : m_command(std::move(command)), m_synopsis(std::move(synopsis)), m_description(std::move(description))
{
}

void ArgParser::addFlag(const QString& name, const QString& help)
{
    m_options.push_back({name, Kind::Flag, QString(), help});
}

void ArgParser::addOption(const QString& name, const QString& valueName, const QString& help)
{
    m_options.push_back({name, Kind::Value, valueName, help});
}

void ArgParser::addList(const QString& name, const QString& valueName, const QString& help)
{
    m_options.push_back({name, Kind::List, valueName, help});
}

void ArgParser::setPositional(const QString& valueName, const QString& help, int min, int max)
{
    m_positionalName = valueName;
    m_positionalHelp = help;
    m_positionalMin = min;
    m_positionalMax = max;
}

const ArgParser::Option* ArgParser::find(const QString& name) const
{
    for (const Option& s : m_options)
        if (s.name == name)
            return &s;
    return nullptr;
}

namespace {
bool isOption(const QString& arg)
{
    return arg.startsWith(QLatin1String("--")) && arg.size() > 2;
}
} // namespace

bool ArgParser::parse(const QStringList& arguments)
{
    m_values.clear();
    m_positional.clear();
    const QString seeHelp = QStringLiteral(" (see vantiro-cli %1 --help)").arg(m_command);
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (optionsEnded || !(isOption(arg) || arg == QLatin1String("-h") || arg == QLatin1String("--"))) {
            m_positional << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help"))
            return false;

        QString name = arg.mid(2);
        QString inlineValue;
        bool hasInline = false;
        if (const qsizetype eq = name.indexOf(QLatin1Char('=')); eq >= 0) {
            inlineValue = name.mid(eq + 1);
            name = name.left(eq);
            hasInline = true;
        }
        const Option* option = find(name);
        if (!option)
            throw UsageError(QStringLiteral("unknown option --%1").arg(name) + seeHelp);
        switch (option->kind) {
        case Kind::Flag:
            if (hasInline)
                throw UsageError(QStringLiteral("option --%1 takes no value").arg(name));
            m_values[name] << QString();
            break;
        case Kind::Value:
            if (hasInline) {
                m_values[name] << inlineValue;
            } else {
                if (i + 1 >= arguments.size())
                    throw UsageError(QStringLiteral("option --%1 needs a value (%2)").arg(name, option->valueName));
                m_values[name] << arguments[++i];
            }
            break;
        case Kind::List: {
            QStringList& list = m_values[name];
            if (hasInline)
                list << inlineValue;
            while (i + 1 < arguments.size() && !isOption(arguments[i + 1]) && arguments[i + 1] != QLatin1String("--"))
                list << arguments[++i];
            if (list.isEmpty())
                throw UsageError(QStringLiteral("option --%1 needs at least one value (%2)").arg(name, option->valueName));
            break;
        }
        }
    }
    if (m_positional.size() < m_positionalMin)
        throw UsageError(QStringLiteral("missing %1").arg(m_positionalName) + seeHelp);
    if (m_positionalMax >= 0 && m_positional.size() > m_positionalMax)
        throw UsageError(m_positionalMax == 0
                             ? QStringLiteral("unexpected argument \"%1\"").arg(m_positional.first()) + seeHelp
                             : QStringLiteral("too many arguments") + seeHelp);
    return true;
}

bool ArgParser::isSet(const QString& name) const
{
    return m_values.contains(name);
}

QString ArgParser::value(const QString& name, const QString& fallback) const
{
    const auto it = m_values.find(name);
    return it == m_values.end() || it->isEmpty() ? fallback : it->last();
}

QStringList ArgParser::values(const QString& name) const
{
    return m_values.value(name);
}

int ArgParser::intValue(const QString& name, int fallback, int min, int max) const
{
    if (!isSet(name))
        return fallback;
    bool ok = false;
    const int v = value(name).trimmed().toInt(&ok);
    if (!ok || v < min || v > max)
        throw UsageError(QStringLiteral("--%1 must be a whole number from %2 to %3, not \"%4\"")
                             .arg(name)
                             .arg(min)
                             .arg(max)
                             .arg(value(name)));
    return v;
}

double ArgParser::doubleValue(const QString& name, double fallback, double min, double max) const
{
    if (!isSet(name))
        return fallback;
    bool ok = false;
    const double v = value(name).trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < min || v > max)
        throw UsageError(
            QStringLiteral("--%1 must be a number from %2 to %3, not \"%4\"").arg(name).arg(min).arg(max).arg(value(name)));
    return v;
}

QString ArgParser::helpText() const
{
    QString text = QStringLiteral("Usage: vantiro-cli %1 [options]").arg(m_command);
    if (!m_synopsis.isEmpty())
        text += QLatin1Char(' ') + m_synopsis;
    text += QStringLiteral("\n\n") + m_description + QStringLiteral("\n\nOptions:\n");
    struct Row
    {
        QString left, help;
    };
    std::vector<Row> rows;
    rows.push_back({QStringLiteral("-h, --help"), QStringLiteral("Show this help.")});
    for (const Option& s : m_options) {
        QString left = QStringLiteral("--") + s.name;
        if (s.kind == Kind::Value)
            left += QLatin1Char(' ') + s.valueName;
        else if (s.kind == Kind::List)
            left += QLatin1Char(' ') + s.valueName + QStringLiteral("...");
        rows.push_back({left, s.help});
    }
    if (!m_positionalName.isEmpty() && m_positionalMax != 0)
        rows.push_back({m_positionalName, m_positionalHelp});
    qsizetype width = 0;
    for (const Row& r : rows)
        width = std::max(width, r.left.size());
    for (const Row& r : rows) {
        // Help texts may span lines; indent the continuation under the first.
        QString help = r.help;
        help.replace(QLatin1Char('\n'), QLatin1Char('\n') + QString(width + 4, QLatin1Char(' ')));
        text += QStringLiteral("  ") + r.left.leftJustified(width) + QStringLiteral("  ") + help + QLatin1Char('\n');
    }
    return text;
}

} // namespace cli
