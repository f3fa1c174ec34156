#include "provider.h"

#include "contract.h"

namespace appserver {

void refuse_viewer(const Call &call)
{
    if (call.caller.role == Role::Viewer)
        throw ServerError(ServerError::Kind::Forbidden, "只读账号不能修改计划数据", contract::error::kReadOnlyAccount);
}

std::int64_t Provider::execute(Call &, const std::string &) const
{
    throw ServerError(ServerError::Kind::BadRequest, "provider " + name() + " executes no command texts");
}

wire::ApplyResult Provider::apply(Call &, const wire::Delta &, int) const
{
    throw ServerError(ServerError::Kind::BadRequest, "provider " + name() + " applies no updates");
}

}  // namespace appserver
