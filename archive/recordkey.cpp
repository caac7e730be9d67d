#include "archive/recordkey.h"

#include <QByteArray>
#include <QCryptographicHash>

std::string recordKey(const std::string& serial, const TestRecord& r) {
    const std::string identity = recordIdentity(serial, r);
    return QCryptographicHash::hash(QByteArray(identity.data(), static_cast<int>(identity.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}
