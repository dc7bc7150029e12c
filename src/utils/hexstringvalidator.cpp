#include "hexstringvalidator.h"

#include <QDebug>
#include <QSet>

namespace {

const QSet<QChar> &hexDigits()
{
    static const QSet<QChar> digits = [] {
        QSet<QChar> set;
        for (const QChar c : QStringLiteral("0123456789abcdef"))
            set.insert(c);
        return set;
    }();
    return digits;
}

} // namespace

HexStringValidator::HexStringValidator(QObject *parent) : QValidator(parent)
{}

void HexStringValidator::setMaxSize(int size)
{
    if (maxSize_ == size)
        return;
    maxSize_ = size;
    emit maxSizeChanged();
}

void HexStringValidator::setFixedSize(bool fixed)
{
    if (fixedSize_ == fixed)
        return;
    fixedSize_ = fixed;
    emit fixedSizeChanged();
}

void HexStringValidator::setCanBeEmpty(bool canBeEmpty)
{
    if (canBeEmpty_ == canBeEmpty)
        return;
    canBeEmpty_ = canBeEmpty;
    emit canBeEmptyChanged();
}

QValidator::State HexStringValidator::validate(QString &input, int &pos) const
{
    // Kept in the log on purpose: it shows what the engineer typed into a raw command field.
    qWarning().noquote() << input << pos << input.size() << maxSize_;

    if (input.isEmpty())
        return canBeEmpty_ ? Acceptable : Intermediate;
    if (input.size() > maxSize_) {
        pos = maxSize_ - 1;
        return Invalid;
    }
    // Typing adds one character at a time, so only the newest one needs a look.
    // An accepted text keeps the caller's cursor: moving it before the last character
    // would make the next keystroke land in front of it ("1b40" typed would read "b401").
    if (hexDigits().contains(input.at(input.size() - 1).toLower()))
        return fixedSize_ && input.size() != maxSize_ ? Intermediate : Acceptable;
    pos = input.size() - 2;
    return Invalid;
}
