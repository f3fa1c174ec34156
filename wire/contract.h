// The names the module and the application server both spell: the server
// objects and their class ids, the providers and methods, the parameters,
// the plan's field list, the keys of requests and answers, the month key, and
// the stable codes of error answers. Each is written here once; neither side
// spells one of them on its own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "wire.h"

namespace contract {

// The application server's port when none is given.
inline constexpr int kDefaultPort = 7411;

// --- server objects -----------------------------------------------------------

inline constexpr const char *kCompanyInfoObject = "VendrixServer.CoCompanyInfo";
inline constexpr const char *kCompanyInfoClassId = "{19D455E5-E340-4D1D-9435-4443515DDE6D}";
inline constexpr const char *kCustObject = "VendrixServer.CoCustObj";
inline constexpr const char *kCustClassId = "{45F5B273-F530-40FE-8074-886EFA4EAF10}";

// --- providers and methods ----------------------------------------------------

// On the company information object: the module's own statements, their
// values bound as parameters.
inline constexpr const char *kTempProvider = "dsp_temp";
// On the customer object: the salesman plan rows with their identities.
inline constexpr const char *kPlanProvider = "dsp_xstyzb02cys";

// On the customer object: a department's month on one board, read in one
// snapshot (parameters NYUE00 and CKDM00, both required). The rows are the
// department's salesman plan rows of the month with the plan provider's
// fields and row identities (changes go through that provider's apply); the
// details below come with them.
inline constexpr const char *kBoardProvider = "dsp_board";

// The transaction methods of the company information object (names match
// without regard to case).
inline constexpr const char *kTranStartMethod = "CompanydbTranStart";
inline constexpr const char *kTranCommitMethod = "CompanydbTranCommit";
inline constexpr const char *kRollbackMethod = "CompanydbRollback";

// On the customer object: generates, in one transaction, the plans of a
// department's visit-salesmen who have none in the month, as the plan month
// dialog's generation does (parameters NYUE00, CKDM00 and RYDM00: the
// salesmen's codes separated by commas, empty for every one without a
// plan). Answers {"generated":[codes],"skipped":[codes]}: skipped are the
// salesmen named who had a plan of the month already.
inline constexpr const char *kGeneratePlansMethod = "GeneratePlans";

// --- parameters and the month key ---------------------------------------------

// The month: the plan provider's one parameter (the month whose rows it
// delivers), and the board's and the generation's.
inline constexpr const char *kMonthParam = "NYUE00";
// The department (the board, the generation).
inline constexpr const char *kDepartmentParam = "CKDM00";
// The salesmen of a generation, codes separated by commas.
inline constexpr const char *kSalesmenParam = "RYDM00";

// The month key YYYYMM: the year, then the month with two digits (200303).
inline std::string month_key(int year, int month)
{
    return std::to_string(year) + (month < 10 ? "0" : "") + std::to_string(month);
}

// --- the plan rows ------------------------------------------------------------

// The fields the plan provider delivers, in this order; the row identity
// (ROWID00) travels beside them as the packet's rowIds.
inline const std::vector<wire::FieldDef> &plan_fields()
{
    using wire::FieldType;
    static const std::vector<wire::FieldDef> fields = {
        {"NYUE00", FieldType::String, 6}, {"XHAO00", FieldType::Float, 0},  {"ZBLB00", FieldType::String, 1},
        {"ZBMC00", FieldType::String, 50}, {"ZBSL00", FieldType::Float, 0}, {"CKDM00", FieldType::String, 2},
        {"RYDM00", FieldType::String, 4}, {"SPDM00", FieldType::String, 8}, {"SPDM01", FieldType::String, 8},
        {"ZBLBMC", FieldType::String, 8},
    };
    return fields;
}
// The planned quantity, the one field an apply may change.
inline constexpr const char *kQuantityField = "ZBSL00";

// --- the board's details ------------------------------------------------------

// "plan": the department's plan of the month, one row per indicator as the
// remaining quantity counts them (sequence number and name), its quantity
// the sum of the department's rows of that indicator; ZBLB00 the lowest
// category among them, ZBHS00 how many department rows it sums (1 but for
// duplicates). Ordered by sequence number, then name.
inline constexpr const char *kBoardPlanDetail = "plan";
inline const std::vector<wire::FieldDef> &board_plan_fields()
{
    using wire::FieldType;
    static const std::vector<wire::FieldDef> fields = {
        {"XHAO00", FieldType::Float, 0}, {"ZBLB00", FieldType::String, 1}, {"ZBMC00", FieldType::String, 50},
        {"ZBSL00", FieldType::Float, 0}, {"ZBHS00", FieldType::Integer, 0},
    };
    return fields;
}
// "salesmen": the department's visit-salesmen (FXY000 'Y'), then anyone else
// who holds plan rows of the department's month (FXY000 'N': left the
// department or no longer a visit-salesman; his rows are shown, not edited),
// each ordered by code. JHHS00: his plan rows of the month (0: no plan yet).
inline constexpr const char *kBoardSalesmenDetail = "salesmen";
inline const std::vector<wire::FieldDef> &board_salesmen_fields()
{
    using wire::FieldType;
    static const std::vector<wire::FieldDef> fields = {
        {"RYDM00", FieldType::String, 4}, {"RYMC00", FieldType::String, 20}, {"FXY000", FieldType::String, 1},
        {"JHHS00", FieldType::Integer, 0},
    };
    return fields;
}
// "department": the department's code and name, one row (none for a code
// the department table does not hold).
inline constexpr const char *kBoardDepartmentDetail = "department";
inline const std::vector<wire::FieldDef> &board_department_fields()
{
    using wire::FieldType;
    static const std::vector<wire::FieldDef> fields = {{"CKDM00", FieldType::String, 2}, {"CKMC00", FieldType::String, 40}};
    return fields;
}
// The salesman flag values of the "salesmen" detail.
inline constexpr const char *kVisitSalesman = "Y";
inline constexpr const char *kFormerSalesman = "N";

// The keys of GeneratePlans' answer.
inline constexpr const char *kGeneratedKey = "generated";
inline constexpr const char *kSkippedKey = "skipped";

// The actual sales of a department's month, read from the site's own view
// (the server's actuals_view, none by default) with the params NYUE00 and
// CKDM00: one row per salesman and indicator sequence number with the
// quantity sold (SJSL00, summed), ordered by RYDM00, XHAO00; and the detail
// "state", one row: SJZT00 "ok", "off" (no view configured: the module
// shows nothing of actuals) or "unavailable" (the view failed the server's
// check at start, failed or ran past its time limit: no rows), SJSM00 why,
// in planners' words.
inline constexpr const char *kActualsProvider = "dsp_actuals";
inline const std::vector<wire::FieldDef> &actuals_fields()
{
    using wire::FieldType;
    static const std::vector<wire::FieldDef> fields = {
        {"RYDM00", FieldType::String, 4}, {"XHAO00", FieldType::Float, 0}, {"SJSL00", FieldType::Float, 0}};
    return fields;
}
inline constexpr const char *kActualsStateDetail = "state";
inline const std::vector<wire::FieldDef> &actuals_state_fields()
{
    using wire::FieldType;
    static const std::vector<wire::FieldDef> fields = {{"SJZT00", FieldType::String, 12},
                                                       {"SJSM00", FieldType::String, 200}};
    return fields;
}
inline constexpr const char *kActualsOk = "ok";
inline constexpr const char *kActualsOff = "off";
inline constexpr const char *kActualsUnavailable = "unavailable";

// --- the allocation helpers ---------------------------------------------------

// On the customer object: what remains of a department's month split among
// its salesmen in whole units, computed and applied by the server in one
// transaction (parameters NYUE00, CKDM00, FPFS00 the mode, XHAO00 the
// indicators' sequence numbers separated by commas or empty for all, RYDM00
// the salesmen or empty for all, QZ0000 the weights "0101:3,0102:1" for the
// mode "weights", BBZW00 the fingerprint of the board the preview was
// computed from). Answers {"operation":NAME,"changed":N}.
inline constexpr const char *kAllocateRemainingMethod = "AllocateRemaining";
// On the customer object: last month's split carried into the month
// (parameters NYUE00, CKDM00, BBZW00 the fingerprint of this month's and
// last month's boards). Answers {"operation":"沿用上月","carried":[codes],
// "newSalesmen":[codes],"left":[codes],"newIndicators":[names],"rows":N}.
inline constexpr const char *kRollForwardMethod = "RollForward";
// On the customer object: a department's weights by salesman (parameter
// CKDM00), fields RYDM00 and QZ0000; and the method that replaces them
// (parameters CKDM00 and QZ0000).
inline constexpr const char *kWeightsProvider = "dsp_weights";
inline constexpr const char *kSaveWeightsMethod = "SaveWeights";
inline constexpr const char *kModeParam = "FPFS00";
inline constexpr const char *kIndicatorsParam = "XHAO00";
inline constexpr const char *kWeightsParam = "QZ0000";
inline constexpr const char *kFingerprintParam = "BBZW00";
// The values of FPFS00.
inline constexpr const char *kModeEven = "even";
inline constexpr const char *kModeLastMonth = "last_month";
inline constexpr const char *kModeWeights = "weights";
// The keys of the helpers' answers.
inline constexpr const char *kOperationKey = "operation";
inline constexpr const char *kChangedKey = "changed";
inline constexpr const char *kCarriedKey = "carried";
inline constexpr const char *kNewSalesmenKey = "newSalesmen";
inline constexpr const char *kLeftKey = "left";
inline constexpr const char *kNewIndicatorsKey = "newIndicators";
inline constexpr const char *kRowsKey = "rows";

// On the customer object: a sheet imported onto the board, applied whole in
// one transaction (parameters NYUE00, CKDM00, WJMC00 the file's name for the
// audit, DRSL00 the changed plan rows "ROWID00:quantity" separated by
// commas, BBZW00 the fingerprint of the board the preview was computed
// from). Answers {"operation":"导入","changed":N}.
inline constexpr const char *kImportPlansMethod = "ImportPlans";
inline constexpr const char *kFileNameParam = "WJMC00";
inline constexpr const char *kImportedParam = "DRSL00";

// --- the HTTP API -------------------------------------------------------------

inline constexpr const char *kLoginPath = "/v1/login";
inline constexpr const char *kLogoutPath = "/v1/logout";
inline constexpr const char *kAccountPath = "/v1/account";
inline constexpr const char *kSessionsPath = "/v1/sessions";
inline constexpr const char *kHealthPath = "/v1/health";
// Under a session: providers/NAME/CALL and methods/NAME.
inline constexpr const char *kProvidersSegment = "providers";
inline constexpr const char *kMethodsSegment = "methods";
inline constexpr const char *kRecordsCall = "records";
inline constexpr const char *kExecuteCall = "execute";
inline constexpr const char *kApplyCall = "apply";

// Request keys.
inline constexpr const char *kUserKey = "user";
inline constexpr const char *kPasswordKey = "password";
inline constexpr const char *kObjectKey = "object";
inline constexpr const char *kClassIdKey = "clsid";
inline constexpr const char *kCommandTextKey = "commandText";
inline constexpr const char *kParamsKey = "params";
inline constexpr const char *kMaxErrorsKey = "maxErrors";
inline constexpr const char *kDeltaKey = "delta";

// Answer keys (the data packet's and the delta's own are wire's affair).
inline constexpr const char *kTokenKey = "token";
inline constexpr const char *kExpiresKey = "expires";
inline constexpr const char *kRoleKey = "role";
inline constexpr const char *kSessionKey = "session";
inline constexpr const char *kRowsAffectedKey = "rowsAffected";
inline constexpr const char *kErrorKey = "error";
inline constexpr const char *kCodeKey = "code";

// --- error codes --------------------------------------------------------------

// Every error answer carries one of these beside its message
// ({"error":"...","code":"session_gone"}). The message is for people and may
// change; a client decides by the code.
namespace error {
// 400: a request the server cannot take as it stands (malformed JSON, a
// wrong parameter, a body over the limit, a call a provider does not offer).
inline constexpr const char *kBadRequest = "bad_request";
// 401: no sign-in with the call.
inline constexpr const char *kSignInRequired = "sign_in_required";
// 401: a token unknown, signed out or expired.
inline constexpr const char *kSignInExpired = "sign_in_expired";
// 401: a sign-in with a wrong user or password.
inline constexpr const char *kSignInRefused = "sign_in_refused";
// 403: the caller may not do this.
inline constexpr const char *kForbidden = "forbidden";
// 403: a text that is not one of the module's statements.
inline constexpr const char *kStatementNotAllowed = "statement_not_allowed";
// 403: a viewer's change.
inline constexpr const char *kReadOnlyAccount = "read_only_account";
// 404: the session is gone (closed, timed out, or never there): nothing of
// the call ran, and a client may open a new one.
inline constexpr const char *kSessionGone = "session_gone";
// 404: no such server object, provider, method, or call.
inline constexpr const char *kNotFound = "not_found";
// 414: a request target over the limit.
inline constexpr const char *kTargetTooLong = "target_too_long";
// 422: the database refused a statement (its own message).
inline constexpr const char *kDatabase = "database";
// 422: a statement ran past the server's time limit.
inline constexpr const char *kStatementTimeout = "statement_timeout";
// 422: an answer larger than the server sends.
inline constexpr const char *kAnswerTooLarge = "answer_too_large";
// 422: the plan rows changed between the two reads of one answer.
inline constexpr const char *kRowsChanged = "rows_changed";
// 422: a generation the plans do not allow (no department plan or no sales
// indicators for the month, a code not a visit-salesman of the department).
inline constexpr const char *kGenerationRefused = "generation_refused";
// 429: too many failed or simultaneous sign-ins, or sessions of one account.
inline constexpr const char *kThrottled = "throttled";
// 503: the database cannot be reached or opened.
inline constexpr const char *kUnavailable = "unavailable";
// 503: another session's open transaction holds the data past the wait.
inline constexpr const char *kLocked = "locked";
// 503: every connection, worker or session slot of the server is taken.
inline constexpr const char *kBusy = "busy";
// 503: the server is stopping.
inline constexpr const char *kStopping = "stopping";
// 500: a failure of the server itself.
inline constexpr const char *kInternal = "internal";
// 422: a helper's apply found the board changed since its preview: nothing applied.
inline constexpr const char *kBoardChanged = "board_changed";
// 422: a split or roll-forward the data do not allow (weights that cannot
// split, no plan last month, nobody to carry): nothing applied.
inline constexpr const char *kAllocationRefused = "allocation_refused";
}  // namespace error

// --- month states -------------------------------------------------------------

// A department's month moves 草稿 -> 已提交 (a planner submits it complete) ->
// 已批准 (an approver); 已提交 -> 草稿 (returned by an approver, with a reason);
// 已批准 -> 修订中 (a revision opened by a planner, with a reason) -> 已提交.
// While it is 已提交 or 已批准 the server refuses every change of its
// salesman plans. A month that never moved is 草稿.
inline constexpr const char *kStateDraft = "草稿";
inline constexpr const char *kStateSubmitted = "已提交";
inline constexpr const char *kStateApproved = "已批准";
inline constexpr const char *kStateRevising = "修订中";
// The moves, as MoveMonthState's DZUO00 names them.
inline constexpr const char *kMoveSubmit = "提交";
inline constexpr const char *kMoveApprove = "批准";
inline constexpr const char *kMoveReturn = "退回";
inline constexpr const char *kMoveRevise = "申请修订";

// On the customer object: the states of a month (NYUE00 required). Rows:
// one per department with a state other than the first draft, or with
// CKDM00 exactly that department's (a draft when it never moved), with
// month_state_fields(); with CKDM00 also the detail "history", every move
// of the department's month, oldest first (month_state_history_fields()).
// A viewer may read it.
inline constexpr const char *kMonthStateProvider = "dsp_month_state";
inline constexpr const char *kMonthStateHistoryDetail = "history";
inline const std::vector<wire::FieldDef> &month_state_fields()
{
    using wire::FieldType;
    // ZTAI00 the state, TJYH00 who submitted it last, PZYH00 and PZSJ00 who
    // approved it and when (UTC), empty unless it is approved.
    static const std::vector<wire::FieldDef> fields = {
        {"CKDM00", FieldType::String, 2}, {"ZTAI00", FieldType::String, 6}, {"TJYH00", FieldType::String, 32},
        {"PZYH00", FieldType::String, 32}, {"PZSJ00", FieldType::String, 20},
    };
    return fields;
}
inline const std::vector<wire::FieldDef> &month_state_history_fields()
{
    using wire::FieldType;
    // BBHAO0 the move's number in the month, DZUO00 the move, ZTAI00 the
    // state it led to, YHMC00 who, CZSJ00 when (UTC), LYOU00 the reason.
    static const std::vector<wire::FieldDef> fields = {
        {"BBHAO0", FieldType::Integer, 0}, {"DZUO00", FieldType::String, 8},  {"ZTAI00", FieldType::String, 6},
        {"YHMC00", FieldType::String, 32}, {"CZSJ00", FieldType::String, 20}, {"LYOU00", FieldType::String, 200},
    };
    return fields;
}

// On the customer object: moves a department's month (NYUE00, CKDM00, DZUO00
// the move, LYOU00 the reason where one is needed, ZTAI00 optional: the
// state the caller saw, refused with state_changed when it is no longer
// so). Answers {"state":"已提交"}.
inline constexpr const char *kMoveMonthStateMethod = "MoveMonthState";
inline constexpr const char *kMoveParam = "DZUO00";
inline constexpr const char *kReasonParam = "LYOU00";
inline constexpr const char *kStateParam = "ZTAI00";
inline constexpr const char *kStateKey = "state";

namespace error {
// 422: a change of a salesman plan in a month that is submitted or approved.
inline constexpr const char *kMonthLocked = "month_locked";
// 422: a state move the month does not allow (its state, no department plan,
// a plan not complete, one's own submission).
inline constexpr const char *kStateRefused = "state_refused";
// 422: the month's state is no longer the one the caller saw.
inline constexpr const char *kStateChanged = "state_changed";
}  // namespace error

// --- the plan rows' version ---------------------------------------------------

// A records call of the plan provider may carry, beside "params", the version
// of the month's rows the client holds ("ifVersion"; "" when it holds none
// yet). The answer then names the version of the rows as the call found them:
// {"current":true,"version":V} (200, a few bytes, no rows) when that is still
// the version held, else the packet as always with "version":V as its last
// member. Without "ifVersion" the answer is the packet as always. The version
// changes in the transaction of every change of a department's month's plan
// rows, whichever the route, and never comes back for other rows (a restore
// or a rollback included). Other providers take no "ifVersion" and answer as
// always.
inline constexpr const char *kIfVersionKey = "ifVersion";
inline constexpr const char *kVersionKey = "version";
inline constexpr const char *kCurrentKey = "current";

}  // namespace contract
