#include "app/ui/UiText.h"

#include <QGuiApplication>
#include <QStringList>

namespace norvane {

QString uiFormat(std::string_view key, const QStringList& arguments)
{
    const QString format = uiText(key);
    QString out;
    qsizetype next = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] == u'%' && i + 1 < format.size() && format[i + 1] == u'@') {
            out += next < arguments.size() ? arguments[next] : QString();
            ++next;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

QString displayName()
{
    const QString name = QGuiApplication::applicationDisplayName();
    return name.isEmpty() ? QStringLiteral("Norvane") : name;
}

} // namespace norvane
