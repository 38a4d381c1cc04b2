#pragma once

#include <QByteArray>
#include <QtGlobal>

// The canonical 44-byte RIFF/WAVE header in front of `dataBytes` of signed 16-bit
// little-endian interleaved PCM.
QByteArray wavHeader(quint32 dataBytes, int sampleRate, int channels);
