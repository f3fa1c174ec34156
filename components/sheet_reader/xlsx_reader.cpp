#include "sheet_reader_parts.h"

namespace sheet::detail {

std::variant<Table, Error> read_xlsx(const QByteArray &bytes, const QString &name, const Limits &limits)
{
    return refuse(name, QStringLiteral("暂不能读取 .xlsx 工作簿"));
}

}  // namespace sheet::detail
