#include "app/ui/EntryDisplay.h"

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"
#include "app/state/PermissionRules.h"

#include <QPalette>

namespace norvane::EntryDisplay {

namespace {

constexpr std::string_view kFolderShortcut = ".folder.fvrt";
constexpr std::string_view kShortcut = ".fvrt";

} // namespace

QString withoutShortcutSuffix(std::string_view name)
{
    if (name.ends_with(kFolderShortcut))
        name.remove_suffix(kFolderShortcut.size());
    else if (name.ends_with(kShortcut))
        name.remove_suffix(kShortcut.size());
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

bool isCopyTarget(const fileInformation& entry)
{
    return entry.actionType == "COPY" && entry.actionFileType == "1";
}

Tone tone(const fileInformation& entry, bool readOnlyForUser)
{
    if (entry.lockUserId && !entry.lockUserId->empty())
        return Tone::Locked;
    if (isCopyTarget(entry))
        return Tone::Copying;
    if (readOnlyForUser && entry.isFile())
        return Tone::ReadOnly;
    return Tone::Normal;
}

QColor colour(Tone tone, const QPalette& palette)
{
    switch (tone) {
    case Tone::Locked:
        return QColor(0xd0, 0x1f, 0x1f);
    case Tone::Copying:
        return QColor(0x8c, 0x8c, 0x8c);
    case Tone::ReadOnly:
        return QColor(0xe0, 0x6c, 0x00);
    case Tone::Normal:
        break;
    }
    return palette.color(QPalette::Text);
}

QString rowText(const fileInformation& entry)
{
    QString text = withoutShortcutSuffix(entry.displayName.value_or(""));
    if (isCopyTarget(entry))
        text += QStringLiteral("(%1%)").arg(QString::fromStdString(entry.actionProgress.value_or("")));
    return text;
}

Icons::Name folderImage(const fileInformation& entry)
{
    if (entry.uk == "/FOLDER/BackupFolder")
        return Icons::Name::FolderBlue;
    if (entry.uk == "/FOLDER/.Favorite.")
        return Icons::Name::FolderFavorite;
    if (entry.isReadOnly && PermissionRules::isShareFile(entry) && PermissionRules::isTopLevelFolder(entry))
        return Icons::Name::FolderRed;
    return Icons::Name::FolderYellow;
}

} // namespace norvane::EntryDisplay
