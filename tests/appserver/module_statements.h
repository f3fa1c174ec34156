// The module's statements, with its own text and the values in their slots,
// for the server tests.
#pragma once

#include <string>

namespace apptest {

inline std::string department_statement()
{
    return std::string("SELECT CKDM00,CKMC00 FROM GSTCKGL0 WHERE WDBJ00='F'") +
           " AND ZZRQ00 IS NULL AND CKDM00<>'HZ' AND CKDM00<>'0F' AND CKDM00<>'0B' AND CKDM00<>'0P'";
}

inline std::string salesman_statement(const std::string &d)
{
    return std::string("SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y'") + " AND CKDM00='" + d + "'";
}

inline std::string remaining_statement(const std::string &shown_month, const std::string &dept_code,
                                const std::string &salesman_code)
{
    return "Select NYUE00,XHAO00,ZBMC00,SUM(ZBSL00) Zbsl00 FROM (SELECT NYUE00,XHAO00,ZBMC00,ZBSL00 ZBSL00 FROM XSTYZB01 WHERE NYUE00='" +
           shown_month + "' And Ckdm00='" + dept_code + "'" +
           " Union all SELECT NYUE00,XHAO00,ZBMC00,NVL(-ZBSL00,0) ZBSL00 FROM XSTYZB02 WHERE NYUE00='" + shown_month +
           "' AND Ckdm00='" + dept_code + "' and Rydm00<>'" + salesman_code + "') Group by Nyue00,Xhao00,Zbmc00";
}

inline std::string generation_statement(const std::string &plan_month, const std::string &dlg_dept_code,
                                 const std::string &dlg_salesman_code)
{
    return std::string("INSERT INTO XSTYZB02(ZBSL00,NYUE00,XHAO00,ZBLB00,ZBMC00,SPDM00,SPDM01,CKDM00,RYDM00)") +
           " SELECT distinct '0',NYUE00,XHAO00,ZBLB00,ZBMC00,null,null,'" + dlg_dept_code + "','" + dlg_salesman_code +
           "'" + " FROM XSTYZB01 WHERE NYUE00='" + plan_month + "' AND CKDM00='" + dlg_dept_code + "'";
}

inline std::string delete_statement(const std::string &plan_month, const std::string &dept_code,
                             const std::string &salesman_code)
{
    return "DELETE XSTYZB02 WHERE NYUE00='" + plan_month + "' And Ckdm00='" + dept_code + "' And Rydm00='" +
           salesman_code + "'";
}

inline std::string existence_statement(const std::string &m, const std::string &d, const std::string &s)
{
    return "SELECT * FROM XSTYZB02 WHERE NYUE00='" + m + "' AND CKDM00='" + d + "' AND RYDM00='" + s + "'";
}

}  // namespace apptest
