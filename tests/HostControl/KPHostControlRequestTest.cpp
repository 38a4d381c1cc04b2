#include "Pikora/HostControl/KPHostControlRequest.h"

#include <QRegularExpression>
#include <QUuid>
#include <gtest/gtest.h>

TEST(KPHostControlRequest, IdentifiersAreFreshUuidsAndDecideEquality)
{
    KPHostControlRequest a;
    KPHostControlRequest b;
    EXPECT_FALSE(QUuid::fromString(a.identifier()).isNull()) << a.identifier().toStdString();
    EXPECT_NE(a.identifier(), b.identifier());
    EXPECT_TRUE(a.isEqual(a));
    b.setClientIP(QStringLiteral("127.0.0.2"));
    a.setClientIP(QStringLiteral("127.0.0.2"));
    EXPECT_FALSE(a.isEqual(b)) << "same guest, different requests";
}

TEST(KPHostControlRequest, DescriptionNamesTheKindAndMissingValues)
{
    KPHostControlRequest request;
    request.setClientIP(QStringLiteral("127.0.0.2"));
    const QString ordinary = request.description();
    EXPECT_TRUE(ordinary.contains(QStringLiteral(", ip:127.0.0.2, name:(null), requestingFullScreen:false, "
                                                 "completionBlock:(null) , identifier:") +
                                  request.identifier()))
        << ordinary.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^0x[0-9a-f]+, ")).match(ordinary).hasMatch());

    request.setRequestingFullscreen(true);
    request.setClientName(QStringLiteral("Anna"));
    request.setCompletionblock([](bool, int) {});
    const QString fullscreen = request.description();
    EXPECT_TRUE(
        fullscreen.contains(QStringLiteral("name:Anna, requestingFullScreen:true, completionBlock:0x")))
        << fullscreen.toStdString();
}

TEST(KPHostControlRequest, ReplyIsPassedOnAtMostOnce)
{
    KPHostControlRequest request;
    EXPECT_FALSE(request.reply(true, 1)) << "no block: nothing to call";
    std::vector<std::pair<bool, int>> calls;
    request.setCompletionblock([&calls](bool allow, int mode) { calls.emplace_back(allow, mode); });
    EXPECT_TRUE(request.hasCompletionblock());
    EXPECT_TRUE(request.reply(true, 2));
    EXPECT_FALSE(request.reply(false, 1));
    EXPECT_FALSE(request.hasCompletionblock());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::make_pair(true, 2));
}
