#pragma once

#include "core/Settings.h"

#include <QByteArray>

#include <memory>

class CTlsContext;

// The TLS context of a server run with encryption on. It serves the certificate and key the
// settings name (an empty TlsPrivateKey: the key is in the certificate's file), or else the pair
// kept in the settings folder, made there by the first start that needs it: then *made names the
// certificate made. Null with *error, a monitor line, when the files cannot serve; nothing is ever
// overwritten. Host's thread.
std::shared_ptr<const CTlsContext> LoadServerTls(const CSettings::Values& values, const QByteArray& settingsFolder,
                                                 QByteArray* made, QByteArray* error);
