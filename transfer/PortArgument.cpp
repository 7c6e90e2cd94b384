#include "transfer/PortArgument.h"

#include <QByteArrayList>

namespace {

// A decimal number of 1 to 3 digits with no sign, space or other character; -1 otherwise.
int SmallNumber(const QByteArray& field)
{
    if (field.isEmpty() || field.size() > 3)
        return -1;
    int value = 0;
    for (char c : field) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

bool ParsePortArgument(const QByteArray& argument, PortArgument& result)
{
    const QByteArrayList fields = argument.split(',');
    if (fields.size() != 6)
        return false;
    int numbers[6];
    for (int i = 0; i < 6; ++i) {
        numbers[i] = SmallNumber(fields[i]);
        if (numbers[i] < 0 || numbers[i] > 255)
            return false;
    }
    const int port = numbers[4] * 256 + numbers[5];
    if (port < 1024)
        return false;
    result.address = QByteArray::number(numbers[0]) + '.' + QByteArray::number(numbers[1]) + '.' +
                     QByteArray::number(numbers[2]) + '.' + QByteArray::number(numbers[3]);
    result.port = port;
    return true;
}
