#pragma once

#include "platform/Strings.h"

#include <QString>

#include <string_view>

namespace norvane {

// The localised text of a key of the application's string table.
inline QString uiText(std::string_view key)
{
    return QString::fromStdString(Strings::text(key));
}

// A localised format whose "%@" markers take the arguments in order.
QString uiFormat(std::string_view key, const QStringList& arguments);

// The application's display name ("Norvane"), which window titles and menus carry.
QString displayName();

} // namespace norvane
