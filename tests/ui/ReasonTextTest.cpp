#include <gtest/gtest.h>

#include <cerrno>
#include <new>

#include <QRegularExpression>

#include "AtomicFile.h"
#include "ReasonText.h"

namespace {

TFault Fault(TFaultKind kind, long status = 0, std::int64_t number = 0, std::int64_t number2 = 0) {
    TFault f(kind, "/data/cache/m_12_1_2");
    f.HttpStatus = status;
    f.Number = number;
    f.Number2 = number2;
    f.Detail = "decoder said something in English";
    return f;
}

// Only numbers, paths, host names and the protocol's own words may stay Latin.
void ExpectChinese(const QString& text) {
    QString rest = text;
    rest.remove(QStringLiteral("/data/cache/m_12_1_2"));
    rest.remove(QStringLiteral("m_12_1_2"));
    rest.remove(QRegularExpression(QStringLiteral("HTTP \\d+|curl \\d+|\\[ATLAS_SOURCE\\] CA_FILE|\\d+ GB")));
    EXPECT_FALSE(rest.contains(QRegularExpression(QStringLiteral("[A-Za-z]")))) << text.toStdString();
    EXPECT_TRUE(rest.contains(QRegularExpression(QStringLiteral("[\\x{4e00}-\\x{9fff}]")))) << text.toStdString();
}

}  // namespace

TEST(ReasonText, EveryKindIsSaidInChinese) {
    const struct {
        TFault Fault;
        const char* Expected;  // the whole text, or "" where any Chinese will do
    } rows[] = {
        {Fault(TFaultKind::NoImage, 200), "HTTP 200，回应不是图片"},
        {Fault(TFaultKind::WrongPictureSize, 200, 300, 300), "HTTP 200，图片大小为 300×300"},
        {Fault(TFaultKind::EmptyAnswer, 204), "HTTP 204，回应为空"},
        {Fault(TFaultKind::PlaceholderPicture, 200), "HTTP 200，地图服务器的占位图像"},
        {Fault(TFaultKind::GifPicture, 200), ""},
        {Fault(TFaultKind::DamagedPicture, 200), "HTTP 200，图片已损坏"},
        {Fault(TFaultKind::AccessRefused, 403), "HTTP 403，地图服务器拒绝访问"},
        {Fault(TFaultKind::PauseBeyondLimit, 429, 600), ""},
        {Fault(TFaultKind::BodyTooLarge, 0, 65536), "回应超过 65536 字节"},
        {Fault(TFaultKind::SourceRefused), ""},
        {Fault(TFaultKind::RunStopped), ""},
        {Fault(TFaultKind::BadUrl), ""},
        {Fault(TFaultKind::CacheFolderUncreatable), ""},
        {Fault(TFaultKind::BadFileName), ""},
        {Fault(TFaultKind::CannotCreate), ""},
        {Fault(TFaultKind::CannotWrite), ""},
        {Fault(TFaultKind::CannotReplace), ""},
        {Fault(TFaultKind::FileReadOnly), "文件 \"/data/cache/m_12_1_2\" 被设为只读"},
        {Fault(TFaultKind::CannotReadFile), ""},
        {Fault(TFaultKind::CannotReadTile), ""},
        {Fault(TFaultKind::CannotCompressTile), ""},
        {Fault(TFaultKind::CannotReadEntry), ""},
        {Fault(TFaultKind::CacheNotFolder), ""},
        {Fault(TFaultKind::IndexTooLarge, 0, 9000000), ""},
        {Fault(TFaultKind::FileTooLarge), ""},
        {Fault(TFaultKind::CountMismatch, 0, 5, 6), "图块数 5 与文件头的图块数 6 不一致"},
        {Fault(TFaultKind::TypeNotInFile), "地图数据文件不包含这种地图类型，无法导出。"},
        {Fault(TFaultKind::InvalidType), ""},
        {Fault(TFaultKind::Other), ""},
    };
    for (const auto& row : rows) {
        const QString text = ReasonText(row.Fault);
        SCOPED_TRACE(FaultText(row.Fault));
        ExpectChinese(text);
        if (*row.Expected) EXPECT_EQ(text, QString::fromUtf8(row.Expected));
    }
}

TEST(ReasonText, SystemAndCurlCodesAreSaidInChineseWithTheRareOnesByNumber) {
    for (const int err : {ENOSPC, EACCES, EROFS, ENOENT, EDQUOT, ENOTDIR, EISDIR, EEXIST, EIO})
        ExpectChinese(ErrnoReasonText(err));
    EXPECT_EQ(ErrnoReasonText(ENOSPC), QStringLiteral("磁盘空间不足"));
    EXPECT_EQ(ErrnoReasonText(EXDEV), QStringLiteral("系统错误 %1").arg(EXDEV));
    // couldn't resolve, connect, time-out, TLS, redirects, certificate, nothing back, receive, and a rare one
    for (const int code : {6, 7, 28, 35, 47, 52, 56, 60, 77, 92}) {
        TFault f(TFaultKind::Transfer);
        f.Code = code;
        f.Detail = "Couldn't connect to server (curl 7)";
        ExpectChinese(ReasonText(f));
        EXPECT_TRUE(ReasonText(f).contains(QStringLiteral("curl %1").arg(code))) << code;
    }
    EXPECT_EQ(CurlReasonText(7), QStringLiteral("无法连接服务器（curl 7）"));
    // A file error is said by its reason; the English what() stays for the command line.
    const TFileError full(TFault(TFaultKind::CannotWrite, "/data/a.Dat", ENOSPC));
    EXPECT_EQ(ErrorText(full), QStringLiteral("无法写入文件 \"/data/a.Dat\": 磁盘空间不足"));
    EXPECT_EQ(std::string(full.what()).rfind("cannot write \"/data/a.Dat\": ", 0), 0u) << full.what();
    EXPECT_EQ(ErrorText(std::bad_alloc()), QStringLiteral("内存不足"));
    EXPECT_EQ(ReadErrorText({EACCES, false, "/d/a.Dat: Permission denied"}, QStringLiteral("/d/a.Dat")),
              QStringLiteral("无法读取文件 \"/d/a.Dat\"：没有访问权限"));
}

// Every refusal of a tile source entry, with the entry named as the file has it.
TEST(ReasonText, SourceProblemsAreSaidInChinese) {
    for (int k = int(TSourceProblemKind::CommentInValue); k <= int(TSourceProblemKind::NotADigest); ++k) {
        TSourceProblem p;
        p.Kind = TSourceProblemKind(k);
        p.Char = '_';
        p.Item = "q";
        QString text = ReasonText(p);
        SCOPED_TRACE(SourceProblemText(p));
        text.remove(QRegularExpression(QStringLiteral("IPv6|ASCII|SHA-256|https?://|%d"))).remove(QLatin1Char('q'));
        EXPECT_FALSE(text.contains(QRegularExpression(QStringLiteral("[A-Za-z]")))) << text.toStdString();
        EXPECT_TRUE(text.contains(QRegularExpression(QStringLiteral("[\\x{4e00}-\\x{9fff}]")))) << text.toStdString();
    }
    TServerConfig server;
    server.HostPattern = "tiles;x";
    const auto problems = ServerConfigProblems(server);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(ReasonText(problems[0]), QStringLiteral("[ATLAS_SERVER] HOST：含有';'（注释必须单独占一行）：\"tiles;x\""));
}
