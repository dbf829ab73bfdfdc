#include "ReasonText.h"

#include <cerrno>
#include <new>

#include "AtomicFile.h"

namespace {

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }
QString Path(const std::string& path) { return QString::fromStdString(path); }
QString Http(long status) { return QStringLiteral("HTTP %1，").arg(status); }

// The system's reason, or a library's (SQLite) whose text is not shown.
QString Cause(const TFault& f) { return f.Errno != 0 ? ErrnoReasonText(f.Errno) : Text("数据库或程序内部错误"); }

}  // namespace

QString ErrnoReasonText(int err) {
    switch (err) {
    case ENOSPC: return Text("磁盘空间不足");
    case EDQUOT: return Text("超出磁盘配额");
    case EACCES: return Text("没有访问权限");
    case EPERM: return Text("操作不被允许");
    case EROFS: return Text("文件系统是只读的");
    case ENOENT: return Text("文件或文件夹不存在");
    case ENOTDIR: return Text("路径中有一项不是文件夹");
    case EISDIR: return Text("这是一个文件夹");
    case EEXIST: return Text("文件已存在");
    case ENAMETOOLONG: return Text("文件名过长");
    case EIO: return Text("输入输出错误");
    case EMFILE:
    case ENFILE: return Text("打开的文件过多");
    case ENOMEM: return Text("内存不足");
    case EINVAL: return Text("参数无效");
    case EBADF: return Text("文件已关闭");
    default: return Text("系统错误 %1").arg(err);
    }
}

QString CurlReasonText(int code) {
    // CURLcode values, stable in curl's interface.
    const char* text = nullptr;
    switch (code) {
    case 1: text = "不支持的网络协议"; break;            // UNSUPPORTED_PROTOCOL
    case 3: text = "网址格式错误"; break;                // URL_MALFORMAT
    case 5: text = "无法解析代理服务器的名称"; break;    // COULDNT_RESOLVE_PROXY
    case 6: text = "无法解析服务器的名称"; break;        // COULDNT_RESOLVE_HOST
    case 7: text = "无法连接服务器"; break;              // COULDNT_CONNECT
    case 18: text = "传输未完成"; break;                 // PARTIAL_FILE
    case 23: text = "接收的数据无法保存"; break;         // WRITE_ERROR
    case 28: text = "连接超时"; break;                   // OPERATION_TIMEDOUT
    case 35: text = "安全连接失败"; break;               // SSL_CONNECT_ERROR
    case 42: text = "传输被中止"; break;                 // ABORTED_BY_CALLBACK
    case 47: text = "重定向次数过多"; break;             // TOO_MANY_REDIRECTS
    case 52: text = "服务器没有返回任何数据"; break;     // GOT_NOTHING
    case 55: text = "发送网络数据失败"; break;           // SEND_ERROR
    case 56: text = "接收网络数据失败"; break;           // RECV_ERROR
    case 58: text = "客户端证书有问题"; break;           // SSL_CERTPROBLEM
    case 60:                                             // PEER_FAILED_VERIFICATION
        text = "服务器证书未通过验证（不受公开信任的服务器证书可在 [ATLAS_SOURCE] CA_FILE 中指定）";
        break;
    case 77: text = "无法读取证书文件（[ATLAS_SOURCE] CA_FILE）"; break;  // SSL_CACERT_BADFILE
    default: return Text("网络传输失败（curl %1）").arg(code);
    }
    return Text("%1（curl %2）").arg(Text(text)).arg(code);
}

QString ReasonText(const TFault& f) {
    switch (f.Kind) {
    case TFaultKind::Other: return f.Detail.empty() ? QString() : Text("程序内部错误");
    case TFaultKind::BadFileName: return Text("无法创建文件 \"%1\": 文件名无效").arg(Path(f.Path));
    case TFaultKind::CannotCreate: return Text("无法创建文件 \"%1\": %2").arg(Path(f.Path), Cause(f));
    case TFaultKind::CannotWrite: return Text("无法写入文件 \"%1\": %2").arg(Path(f.Path), Cause(f));
    case TFaultKind::CannotReplace: return Text("无法替换文件 \"%1\": %2").arg(Path(f.Path), Cause(f));
    case TFaultKind::FileReadOnly: return Text("文件 \"%1\" 被设为只读").arg(Path(f.Path));
    case TFaultKind::CannotReadFile:
        return Text("无法读取文件 \"%1\": %2")
            .arg(Path(f.Path), f.NotRegular ? Text("不是普通文件") : f.Errno ? ErrnoReasonText(f.Errno) : Text("文件过大"));
    case TFaultKind::CannotReadTile:
        return Text("无法读取图块文件 \"%1\": %2").arg(Path(f.Path), f.NotRegular ? Text("不是普通文件") : Cause(f));
    case TFaultKind::CannotCompressTile: return Text("无法压缩图块 \"%1\"").arg(Path(f.Path));
    case TFaultKind::CannotReadEntry:
        return Text("无法读取图块 %1: %2").arg(Path(f.Path), f.Errno ? ErrnoReasonText(f.Errno) : Text("文件已损坏"));
    case TFaultKind::CacheNotFolder: return Text("图块缓存 \"%1\" 不是目录").arg(Path(f.Path));
    case TFaultKind::KeyTooLong: return Text("图块键 \"%1\" 过长，无法写入 \"%2\"").arg(Path(f.Detail), Path(f.Path));
    case TFaultKind::IndexTooLarge: return Text("地图数据文件过大：%1 个图块的索引超过 2 GB，无法生成。").arg(f.Number);
    case TFaultKind::FileTooLarge: return Text("地图数据文件 \"%1\" 将超过 2 GB，无法生成。").arg(Path(f.Path));
    case TFaultKind::CountMismatch: return Text("图块数 %1 与文件头的图块数 %2 不一致").arg(f.Number).arg(f.Number2);
    case TFaultKind::TypeNotInFile: return Text("地图数据文件不包含这种地图类型，无法导出。");
    case TFaultKind::InvalidType: return Text("无效的地图类型");
    case TFaultKind::SourceRefused: return Text("设置不允许使用这个地图来源");
    case TFaultKind::CacheFolderUncreatable:
        return f.Errno ? Text("无法创建缓存文件夹 %1：%2").arg(Path(f.Path), ErrnoReasonText(f.Errno))
                       : Text("无法创建缓存文件夹 %1").arg(Path(f.Path));
    case TFaultKind::RunStopped: return Text("下载已停止");
    case TFaultKind::PauseBeyondLimit:
        return Http(f.HttpStatus) + Text("服务器要求等待 %1 秒，超出本次下载允许的暂停时间").arg(f.Number);
    case TFaultKind::AccessRefused: return Http(f.HttpStatus) + Text("地图服务器拒绝访问");
    case TFaultKind::BadUrl: return Text("图块的网址无效");
    case TFaultKind::Transfer: return CurlReasonText(f.Code);
    case TFaultKind::BodyTooLarge: return Text("回应超过 %1 字节").arg(f.Number);
    case TFaultKind::EmptyAnswer: return Http(f.HttpStatus) + Text("回应为空");
    case TFaultKind::PlaceholderPicture: return Http(f.HttpStatus) + Text("地图服务器的占位图像");
    case TFaultKind::NoImage: return Http(f.HttpStatus) + Text("回应不是图片");
    case TFaultKind::GifPicture: return Http(f.HttpStatus) + Text("动画图片格式无法解码");
    case TFaultKind::WrongPictureSize: return Http(f.HttpStatus) + Text("图片大小为 %1×%2").arg(f.Number).arg(f.Number2);
    case TFaultKind::DamagedPicture: return Http(f.HttpStatus) + Text("图片已损坏");
    }
    return Text("程序内部错误");
}

namespace {

QString CharText(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ' ') return Text("空格");
    if (u < 0x20 || u == 0x7f) return Text("控制字符");
    if (u >= 0x80) return Text("非 ASCII 字符");
    return QStringLiteral("'%1'").arg(QLatin1Char(c));
}

}  // namespace

QString ReasonText(const TSourceProblem& p) {
    using enum TSourceProblemKind;
    const QString item = QString::fromStdString(p.Item);
    QString why;
    switch (p.Kind) {
    case None: break;
    case CommentInValue: why = Text("含有%1（注释必须单独占一行）").arg(CharText(p.Char)); break;
    case HostCannotHold: why = Text("主机名不能含有%1").arg(CharText(p.Char)); break;
    case NoHost: why = Text("没有指定主机"); break;
    case HostTooLong: why = Text("主机名超过 253 个字符"); break;
    case EmptyHostPart: why = Text("主机名的两个点之间是空的"); break;
    case HostPartTooLong: why = Text("主机名的一段超过 63 个字符"); break;
    case HostPartHyphen: why = Text("主机名的一段以 '-' 开头或结尾"); break;
    case Ipv6NotClosed: why = Text("方括号中的 IPv6 地址没有闭合"); break;
    case Ipv6CannotHold: why = Text("IPv6 地址不能含有%1").arg(CharText(p.Char)); break;
    case CloseBraceAlone: why = Text("有 '}' 而没有对应的 '{'"); break;
    case OpenBraceAlone: why = Text("有 '{' 而没有对应的 '}'"); break;
    case PercentOutsideD: why = Text("'%' 只能出现在 \"%d\" 中"); break;
    case NotHttp: why = Text("必须以 http:// 或 https:// 开头"); break;
    case UnknownPlaceholder: why = Text("未知的占位符 {%1}").arg(item); break;
    case MissingPlaceholder: why = Text("缺少 %1").arg(item); break;
    case BadPercentEscape: why = Text("'%' 后面必须是两位十六进制数"); break;
    case UserInfo: why = Text("模板中不能含有用户名或密码"); break;
    case Ipv6WithoutPort: why = Text("IPv6 地址后面只能是 ':端口' 或路径"); break;
    case BadPort: why = Text("端口必须是 1 到 65535 之间的数"); break;
    case NotADigest: why = Text("\"%1\" 不是 SHA-256 摘要（64 位十六进制数）").arg(item); break;
    }
    if (!p.Key.empty())
        why = QStringLiteral("[%1] %2：").arg(QString::fromStdString(p.Section), QString::fromStdString(p.Key)) + why;
    if (p.Value) why += Text("：\"%1\"").arg(QString::fromStdString(*p.Value));
    return why;
}

QString ReadErrorText(const TReadError& error, const QString& fileName) {
    if (error.Errno == 0) return QString::fromStdString(error.Text);
    return Text("无法读取文件 \"%1\"：%2").arg(fileName, ErrnoReasonText(error.Errno));
}

QString ErrorText(const std::exception& error) {
    if (const auto* file = dynamic_cast<const TFileError*>(&error)) return ReasonText(file->Fault);
    if (dynamic_cast<const std::bad_alloc*>(&error)) return ErrnoReasonText(ENOMEM);
    return QString::fromUtf8(error.what());
}
