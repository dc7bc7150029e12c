#pragma once

#include <QValidator>

// Validator for fields in which bytes are typed as hexadecimal digits.
class HexStringValidator : public QValidator
{
    Q_OBJECT
    Q_PROPERTY(int maxSize READ maxSize WRITE setMaxSize NOTIFY maxSizeChanged)
    Q_PROPERTY(bool fixedSize READ fixedSize WRITE setFixedSize NOTIFY fixedSizeChanged)
    Q_PROPERTY(bool canBeEmpty READ canBeEmpty WRITE setCanBeEmpty NOTIFY canBeEmptyChanged)
public:
    explicit HexStringValidator(QObject *parent = nullptr);

    int maxSize() const { return maxSize_; }
    void setMaxSize(int size);
    bool fixedSize() const { return fixedSize_; }
    void setFixedSize(bool fixed);
    bool canBeEmpty() const { return canBeEmpty_; }
    void setCanBeEmpty(bool canBeEmpty);

    QValidator::State validate(QString &input, int &pos) const override;

signals:
    void maxSizeChanged();
    void fixedSizeChanged();
    void canBeEmptyChanged();

private:
    int maxSize_ = 64;
    bool fixedSize_ = false;
    bool canBeEmpty_ = true;
};
