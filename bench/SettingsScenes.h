#pragma once

#include <QString>

namespace mallowby {

// Writes the settings page as PNG files into `directory`: light, dark, with the gigabyte editor
// and with the notification warning. Needs a QApplication. False when a file could not be written.
bool writeSettingsScenes(const QString& directory);

} // namespace mallowby
