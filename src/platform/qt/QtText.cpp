#include "platform/qt/QtText.h"

#include "platform/Cp1250.h"

QString Cp1250ToQString(std::string_view cp1250) {
  QString out(static_cast<qsizetype>(cp1250.size()), Qt::Uninitialized);
  QChar* data = out.data();
  // Every byte of the code page maps into the Basic Multilingual Plane: one QChar each.
  for (size_t i = 0; i < cp1250.size(); ++i)
    data[i] = QChar(static_cast<char16_t>(Cp1250ToCodePoint(static_cast<unsigned char>(cp1250[i]))));
  return out;
}

std::string QStringToCp1250(const QString& text) {
  std::string out;
  out.reserve(static_cast<size_t>(text.size()));
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) ++i;
    unsigned char byte;
    out.push_back(!c.isSurrogate() && CodePointToCp1250(c.unicode(), byte) ? static_cast<char>(byte) : '?');
  }
  return out;
}
