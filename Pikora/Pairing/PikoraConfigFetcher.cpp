#include "Pikora/Pairing/PikoraConfigFetcher.h"

#include "Pikora/Pairing/Ipv4Address.h"
#include "Pikora/Pairing/PairingLogging.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <memory>

namespace {

// Read-ahead the HTTP thread may buffer for a reply before it waits for us; keeps a flood
// from piling up in memory ahead of the size check.
constexpr qint64 kReadBufferBytes = 64 * 1024;

// Qt reports an answered request with an error status as one of these: the server answered,
// there was no transport error.
bool isHttpStatusError(QNetworkReply::NetworkError error)
{
    return error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownServerError;
}

QString timedOutText()
{
    return QObject::tr("The request timed out.");
}

} // namespace

PikoraConfigFetcher::PikoraConfigFetcher(Options options, QObject* parent)
    : QObject(parent), m_options(options), m_manager(new QNetworkAccessManager(this))
{
    if (m_options.timeoutMs <= 0)
        m_options.timeoutMs = kDefaultTimeoutMs;
    if (m_options.maxBodyBytes <= 0)
        m_options.maxBodyBytes = PikoraConfig::kMaxBodyBytes;
    m_manager->setProxy(QNetworkProxy::NoProxy); // receivers are local, never proxied
    m_manager->setCache(nullptr);
    m_manager->setAutoDeleteReplies(false);
}

PikoraConfigFetcher::~PikoraConfigFetcher() = default;

QUrl PikoraConfigFetcher::configUrl(const QString& address, std::uint16_t port)
{
    const std::optional<QString> host = Ipv4Address::normalized(address);
    if (!host || port == 0)
        return {};
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(*host);
    url.setPort(port);
    url.setPath(QStringLiteral("/") + QLatin1String(PikoraConfig::kFileName));
    return url;
}

void PikoraConfigFetcher::fetch(const QUrl& url, DataCompletion complete)
{
    if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty()) {
        complete(std::nullopt, PairingError{PairingError::Kind::Transport, tr("The address is not valid.")});
        return;
    }
    ++m_started;

    QNetworkRequest request(url);
    request.setTransferTimeout(m_options.timeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    QNetworkReply* reply = m_manager->get(request);
    reply->setReadBufferSize(kReadBufferBytes);

    struct State
    {
        QByteArray body;
        std::optional<PairingError> failure; // set when we abort the transfer ourselves
        DataCompletion complete;
    };
    auto state = std::make_shared<State>();
    state->complete = std::move(complete);
    const std::int64_t maxBody = m_options.maxBodyBytes;

    auto abortWith = [reply, state](PairingError::Kind kind, const QString& text) {
        if (state->failure)
            return;
        state->failure = PairingError{kind, text};
        reply->abort(); // finished() follows
    };
    auto tooLarge = [abortWith, maxBody] {
        abortWith(PairingError::Kind::TooLarge,
                  tr("The configuration file is larger than %1 bytes.").arg(maxBody));
    };
    // Moves what has arrived into the body, never holding more than the limit plus one byte.
    auto drain = [reply, state, maxBody, tooLarge] {
        while (!state->failure && reply->bytesAvailable() > 0) {
            const qint64 room = maxBody + 1 - state->body.size();
            state->body += reply->read(std::min<qint64>(room, reply->bytesAvailable()));
            if (state->body.size() > maxBody)
                tooLarge();
        }
    };

    // The whole transfer, not only each pause in it, must end within the limit.
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply,
            [abortWith] { abortWith(PairingError::Kind::Timeout, timedOutText()); });
    deadline->start(m_options.timeoutMs);

    connect(reply, &QNetworkReply::redirected, reply, [reply, url, abortWith](const QUrl& target) {
        const QUrl resolved = url.resolved(target);
        if (resolved.scheme() == QLatin1String("http") && resolved.host() == url.host()) {
            emit reply->redirectAllowed();
            return;
        }
        qCWarning(lcPairing).noquote()
            << "not following the redirect from" << url.toString() << "to another host";
        abortWith(PairingError::Kind::Redirect, tr("The receiver redirected the request to another host."));
    });
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, maxBody, tooLarge] {
        bool ok = false;
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&ok);
        if (ok && announced > maxBody &&
            reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200)
            tooLarge();
    });
    connect(reply, &QNetworkReply::readyRead, reply, drain);

    connect(reply, &QNetworkReply::finished, this, [reply, state, drain, deadline, url] {
        deadline->stop();
        reply->deleteLater();
        drain();
        DataCompletion complete = std::move(state->complete);
        if (state->failure) {
            qCInfo(lcPairing).noquote()
                << "fetching" << url.toString() << "failed:" << state->failure->localizedDescription;
            complete(std::nullopt, state->failure);
            return;
        }
        const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const int status = statusAttribute.isValid() ? statusAttribute.toInt() : 0;
        const QNetworkReply::NetworkError error = reply->error();
        if (error == QNetworkReply::NoError && status == 200) {
            complete(std::move(state->body), std::nullopt);
            return;
        }
        if (status != 0 && (error == QNetworkReply::NoError || isHttpStatusError(error))) {
            qCInfo(lcPairing).noquote() << "fetching" << url.toString() << "answered status" << status;
            complete(std::nullopt, std::nullopt);
            return;
        }
        // Qt's own transfer timeout (no progress for the whole limit) shows as a cancel.
        const bool timedOut =
            error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError;
        PairingError failure{timedOut ? PairingError::Kind::Timeout : PairingError::Kind::Transport,
                             timedOut ? timedOutText() : reply->errorString()};
        qCInfo(lcPairing).noquote() << "fetching" << url.toString()
                                    << "failed:" << failure.localizedDescription;
        complete(std::nullopt, std::move(failure));
    });
}

void PikoraConfigFetcher::pullPikoraJSONData(const QString& address, DataCompletion complete)
{
    const QUrl first = configUrl(address, m_options.firstPort);
    const QUrl second = configUrl(address, m_options.secondPort);
    if (!first.isValid() || !second.isValid()) {
        complete(std::nullopt, PairingError{PairingError::Kind::Transport, tr("The address is not valid.")});
        return;
    }
    QPointer<PikoraConfigFetcher> self(this);
    fetch(first, [self, address, second, complete = std::move(complete), firstPort = m_options.firstPort](
                     std::optional<QByteArray> data, std::optional<PairingError> error) mutable {
        if (data || !self) {
            complete(std::move(data), std::move(error));
            return;
        }
        qCInfo(lcPairing).noquote() << QStringLiteral(
                                           "port %1 of %2 is not able to get pikora_json, try %3 now")
                                           .arg(firstPort)
                                           .arg(address)
                                           .arg(second.port());
        self->fetch(second, std::move(complete));
    });
}

void PikoraConfigFetcher::pullPikoraJSON(const QString& address, JsonCompletion complete)
{
    pullPikoraJSONData(address, [complete = std::move(complete)](std::optional<QByteArray> data,
                                                                 std::optional<PairingError> error) {
        if (!data) {
            complete(std::nullopt, std::move(error));
            return;
        }
        PikoraConfig::ParseResult parsed = PikoraConfig::parse(*data);
        switch (parsed.kind) {
        case PikoraConfig::ParseResult::Kind::Invalid:
            complete(std::nullopt, PairingError{PairingError::Kind::InvalidJson, parsed.error});
            return;
        case PikoraConfig::ParseResult::Kind::Object:
            complete(std::move(parsed.object), std::nullopt);
            return;
        case PikoraConfig::ParseResult::Kind::NotAnObject: {
            constexpr qsizetype kShown = 4096;
            const QString text = QString::fromUtf8(data->left(kShown));
            qCInfo(lcPairing).noquote()
                << "the configuration is not an object:" << text
                << (data->size() > kShown ? QStringLiteral("... (%1 bytes)").arg(data->size()) : QString());
            complete(std::nullopt, std::nullopt);
            return;
        }
        }
    });
}
