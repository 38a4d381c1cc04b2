#include "Support/WavHeader.h"

#include <QtEndian>
#include <cstring>

QByteArray wavHeader(quint32 dataBytes, int sampleRate, int channels)
{
    QByteArray header(44, '\0');
    char* h = header.data();
    const quint16 blockAlign = quint16(channels * 2);
    std::memcpy(h, "RIFF", 4);
    qToLittleEndian<quint32>(36 + dataBytes, h + 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    qToLittleEndian<quint32>(16, h + 16);
    qToLittleEndian<quint16>(1, h + 20); // integer PCM
    qToLittleEndian<quint16>(quint16(channels), h + 22);
    qToLittleEndian<quint32>(quint32(sampleRate), h + 24);
    qToLittleEndian<quint32>(quint32(sampleRate) * blockAlign, h + 28);
    qToLittleEndian<quint16>(blockAlign, h + 32);
    qToLittleEndian<quint16>(16, h + 34);
    std::memcpy(h + 36, "data", 4);
    qToLittleEndian<quint32>(dataBytes, h + 40);
    return header;
}
