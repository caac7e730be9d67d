#pragma once
// The program's fonts and text conversion, said once for every window.

#include <QFont>
#include <QString>
#include <string>

// The designed dialog face ("MS Sans Serif") at a character height in pixels.
inline QFont dialogFont(int pixels, bool bold = false) {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

// "Arial" at a size in points, as the list grid's cell drawing uses it.
inline QFont arialPoints(int points, bool bold) {
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(points);
    font.setBold(bold);
    return font;
}

// Record texts are 8-bit single-byte text.
inline QString latin1Text(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

// "Arial" at a character height in pixels (the help viewer's text).
inline QFont arialPixels(int pixels) {
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    return font;
}
