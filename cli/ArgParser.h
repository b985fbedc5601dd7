#pragma once
// Options of one subcommand. Small on purpose: list options take every following argument up
// to the next option, so that a shell-expanded glob (--primary-images left*.png) lands whole in
// its option.

#include <QMap>
#include <QString>
#include <QStringList>

#include <stdexcept>
#include <vector>

namespace cli {

// A problem with the command line; the text is the one-line reason shown to the user.
class UsageError : public std::runtime_error
{
public:
    explicit UsageError(const QString& message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

class ArgParser
{
public:
    // command: the subcommand's name; synopsis: what follows "[options]" in the usage line.
    ArgParser(QString command, QString synopsis, QString description);

    // --name without a value.
    void addFlag(const QString& name, const QString& help);
    // --name VALUE (or --name=VALUE); repeated: the last one counts.
    void addOption(const QString& name, const QString& valueName, const QString& help);
    // --name V1 V2 ... (all following arguments up to the next option); may be repeated.
    void addList(const QString& name, const QString& valueName, const QString& help);
    // Positional arguments: at least min of them, and none when max is 0.
    void setPositional(const QString& valueName, const QString& help, int min, int max);

    // Throws UsageError. Returns false when --help was asked for (helpText() is then due).
    bool parse(const QStringList& arguments);

    bool isSet(const QString& name) const;
    QString value(const QString& name, const QString& fallback = QString()) const;
    QStringList values(const QString& name) const;
    const QStringList& positional() const { return m_positional; }

    // Typed access; a value that does not convert or lies outside [min, max] is a UsageError
    // naming the option.
    int intValue(const QString& name, int fallback, int min, int max) const;
    double doubleValue(const QString& name, double fallback, double min, double max) const;

    QString helpText() const;
    const QString& command() const { return m_command; }

private:
    enum class Kind
    {
        Flag,
        Value,
        List,
    };
    struct Option
    {
        QString name;
        Kind kind;
        QString valueName;
        QString help;
    };
    const Option* find(const QString& name) const;

    QString m_command;
    QString m_synopsis;
    QString m_description;
    std::vector<Option> m_options;
    QString m_positionalName;
    QString m_positionalHelp;
    int m_positionalMin = 0;
    int m_positionalMax = 0;

    QMap<QString, QStringList> m_values;
    QStringList m_positional;
};

} // namespace cli
