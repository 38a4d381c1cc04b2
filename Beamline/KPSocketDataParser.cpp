#include "Beamline/KPSocketDataParser.h"

void KPSocketDataParser::main()
{
    QString error;
    const Json message = parse(error);
    if (!m_delegate)
        return;
    if (message.is_null())
        m_delegate->parseErrorOccurred(error.isEmpty() ? QStringLiteral("unparseable datagram") : error,
                                       this);
    else
        m_delegate->didFinishParsing(message, this);
}
