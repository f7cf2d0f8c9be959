// The built-in scripts. "servername" and "outputfilename" are placeholders (VBScript on the
// pre-2007 releases: "xxxxxxxx" for the server); each script ends at "# end of script".
#include "qmxscripts_portable.h"

namespace qmx {
namespace {

// Both store state scripts run the same two commands.
const char* const kStoreState[] = {
    R"qmx(get-mailboxdatabase -Server servername -status | ? { $_.Recovery -eq $false } | format-list objectclass, storagegroupname, name, mounted | out-file outputfilename -encoding UTF8 -width 250)qmx",
    R"qmx(get-publicfolderdatabase -Server servername -status | format-list objectclass, storagegroupname, name, mounted | out-file outputfilename -encoding UTF8 -append -width 250)qmx",
    kEndOfScript,
    nullptr,
};

const char* const kClusterStatus[] = {
    R"qmx(Get-ClusteredMailboxServerStatus -identity servername | format-list ClusteredMailboxServerName, State, OperationalMachines | out-file outputfilename -encoding UTF8 -width 250)qmx",
    kEndOfScript,
    nullptr,
};

const char* const kPublicFolderDetails[] = {
    R"qmx(Get-PublicFolderStatistics  -server servername | format-list Name, DatabaseName, ItemCount, TotalItemSize, @{n="LastAccessTime"; e ={$_.LastAccessTime.tostring("1yyMMddHHmmss000")}} | out-file outputfilename -encoding UTF8 -width 250)qmx",
    kEndOfScript,
    nullptr,
};

const char* const kMailboxDetails[] = {
    R"qmx(Get-Mailbox -server servername -ResultSize Unlimited | format-list name,@{n="Items"; e = {$MBXstat = Get-MailboxStatistics $_.name ; $MBXstat.itemcount}},@{n="Size(MB)";e = {$MBXstat = Get-MailboxStatistics $_.name; $MBXstat.totalItemsize.value.toMB()}},@{n="LastLogonTime"; e = {$MBXstat = Get-MailboxStatistics $_.name ; $MBXstat.LastLogonTime.tostring("1yyMMddHHmmss000")}},primarysmtpaddress, prohibitsendquota, database,@{n = "MaxSendQuota(DB)"; e = {$MBXdb = Get-Mailboxdatabase $_.database; $MBXdb.ProhibitSendQuota.value.toMB()}} | out-file outputfilename -encoding UTF8 -width 250)qmx",
    kEndOfScript,
    nullptr,
};

// The helpers both VBScripts share follow their main part.
#define QMX_VBS_HELPERS                                                                     \
  "'------------------------------------------------------------------------------",         \
      "' blnOpenFile: opens strFileName for writing (created when missing) in objFile.",     \
      "'------------------------------------------------------------------------------",     \
      "Function blnOpenFile(strFileName, ByRef objFile)",                                     \
      "  Dim objFileSystem",                                                                  \
      "  On Error Resume Next",                                                               \
      "  Set objFileSystem = CreateObject(\"Scripting.FileSystemObject\")",                   \
      "  If blnErrorOccurred(\"Could not create Scripting.FileSystemObject\") Then",          \
      "    blnOpenFile = False",                                                              \
      "    Exit Function",                                                                    \
      "  End If",                                                                             \
      "  Set objFile = objFileSystem.OpenTextFile(strFileName, 2, True)",                     \
      "  If blnErrorOccurred(\"Could not open \" & strFileName) Then",                         \
      "    blnOpenFile = False",                                                              \
      "  Else",                                                                               \
      "    blnOpenFile = True",                                                               \
      "  End If",                                                                             \
      "End Function",                                                                         \
      "",                                                                                     \
      "'------------------------------------------------------------------------------",     \
      "' blnErrorOccurred: reports and clears a pending error; True when there was one.",    \
      "'------------------------------------------------------------------------------",     \
      "Function blnErrorOccurred(strIn)",                                                     \
      "  If Err.Number Then",                                                                 \
      "    WScript.Echo \"Error 0x\" & CStr(Hex(Err.Number)) & \": \" & strIn",               \
      "    If Err.Description <> \"\" Then",                                                  \
      "      WScript.Echo \"Error description: \" & Err.Description",                         \
      "    End If",                                                                           \
      "    Err.Clear",                                                                        \
      "    blnErrorOccurred = True",                                                          \
      "  Else",                                                                               \
      "    blnErrorOccurred = False",                                                         \
      "  End If",                                                                             \
      "End Function",                                                                         \
      "",                                                                                     \
      "'------------------------------------------------------------------------------",     \
      "' WriteLine: writes one line to an open file.",                                       \
      "'------------------------------------------------------------------------------",     \
      "Sub WriteLine(ByRef objFile, strLine)",                                                \
      "  objFile.WriteLine strLine",                                                          \
      "End Sub"

const char* const kNlbStatus[] = {
    "'==============================================================================",
    "' nlbStatus: status code and computer name of every network load balancing",
    "' node of this machine, two lines per node, then \"End of file\".",
    "'==============================================================================",
    "Option Explicit",
    "",
    "Sub nlbscript()",
    "  Dim strComputer, objWMIService, colItems, objItem, objFile",
    "  On Error Resume Next",
    "  Set objWMIService = Nothing",
    "  Set colItems = Nothing",
    "  strComputer = \"localhost\"",
    "  Set objWMIService = GetObject(\"winmgmts:\" & \"{impersonationLevel=impersonate}!\\\\\" & strComputer & \"\\\" & \"root\\MicrosoftNLB\")",
    "  If blnErrorOccurred(\"Could not connect to root\\MicrosoftNLB\") Then",
    "    Set objWMIService = Nothing",
    "  End If",
    "  If Not objWMIService Is Nothing Then",
    "    Set colItems = objWMIService.ExecQuery(\"SELECT * FROM MicrosoftNLB_Node\")",
    "    If blnErrorOccurred(\"Query of MicrosoftNLB_Node failed\") Then",
    "      Set colItems = Nothing",
    "    End If",
    "  End If",
    "  ' The file is written even without nodes, so that no earlier result stays behind.",
    "  If Not blnOpenFile(outputfilename, objFile) Then",
    "    Exit Sub",
    "  End If",
    "  If Not colItems Is Nothing Then",
    "    For Each objItem In colItems",
    "      WriteLine objFile, objItem.StatusCode",
    "      WriteLine objFile, objItem.ComputerName",
    "    Next",
    "  End If",
    "  WriteLine objFile, \"End of file\"",
    "  objFile.Close",
    "End Sub",
    "",
    QMX_VBS_HELPERS,
    "",
    "Call nlbscript()",
    kEndOfScript,
    nullptr,
};

const char* const kStoreState2003[] = {
    "strServer=xxxxxxxx",
    "SGReport strServer",
    "WScript.Quit",
    "",
    "'==============================================================================",
    "' SGReport: storage groups, public and mailbox stores of strServer with their",
    "' status (0 mounted, 1 not mounted), written as one line:",
    "'   Storage Group=<name>;Public Store=<name>;Status=<n>;Mailbox Store=<name>;...",
    "'==============================================================================",
    "Sub SGReport(strServer)",
    "  Dim objServer, objGroup, varGroup, varStore, strGroup, strReport, objFile",
    "  On Error Resume Next",
    "  strReport = \"\"",
    "  Set objServer = CreateObject(\"CDOEXM.ExchangeServer\")",
    "  If blnErrorOccurred(\"Could not create CDOEXM.ExchangeServer\") Then",
    "    Exit Sub",
    "  End If",
    "  objServer.DataSource.Open strServer",
    "  If blnErrorOccurred(\"Could not open server \" & strServer) Then",
    "    Exit Sub",
    "  End If",
    "  Set objGroup = CreateObject(\"CDOEXM.StorageGroup\")",
    "  For Each varGroup In objServer.StorageGroups",
    "    strGroup = \"\"",
    "    objGroup.DataSource.Open varGroup",
    "    If Not blnErrorOccurred(\"Could not open storage group \" & varGroup) Then",
    "      strGroup = objGroup.Name",
    "    End If",
    "    If strGroup <> \"\" Then",
    "      strReport = strReport & \"Storage Group=\" & strGroup & \";\"",
    "      For Each varStore In objGroup.PublicStoreDBs",
    "        strReport = strReport & strStoreItem(\"CDOEXM.PublicStoreDB\", \"Public Store=\", varStore)",
    "      Next",
    "      For Each varStore In objGroup.MailboxStoreDBs",
    "        strReport = strReport & strStoreItem(\"CDOEXM.MailboxStoreDB\", \"Mailbox Store=\", varStore)",
    "      Next",
    "    End If",
    "  Next",
    "  If blnOpenFile(outputfilename, objFile) Then",
    "    WriteLine objFile, strReport",
    "    objFile.Close",
    "  End If",
    "End Sub",
    "",
    "'------------------------------------------------------------------------------",
    "' strStoreItem: \"<key><name>;Status=<n>;\" of one store; Status=1 when the store",
    "' cannot be opened (its name is then the last part of its URL).",
    "'------------------------------------------------------------------------------",
    "Function strStoreItem(strClass, strKey, varStore)",
    "  Dim objStore, strName, intStatus, intCut",
    "  On Error Resume Next",
    "  Set objStore = CreateObject(strClass)",
    "  objStore.DataSource.Open varStore",
    "  If blnErrorOccurred(\"Could not open store \" & varStore) Then",
    "    strName = CStr(varStore)",
    "    intCut = InStr(strName, \",\")",
    "    If intCut > 0 Then",
    "      strName = Left(strName, intCut - 1)",
    "    End If",
    "    If UCase(Left(strName, 3)) = \"CN=\" Then",
    "      strName = Mid(strName, 4)",
    "    End If",
    "    intStatus = 1",
    "  Else",
    "    strName = objStore.Name",
    "    intStatus = objStore.Status",
    "  End If",
    "  strStoreItem = strKey & strName & \";\" & \"Status=\" & intStatus & \";\"",
    "End Function",
    "",
    QMX_VBS_HELPERS,
    kEndOfScript,
    nullptr,
};

#undef QMX_VBS_HELPERS

}  // namespace

const std::vector<ScriptEntry>& ScriptTable() {
  static const std::vector<ScriptEntry> table = {
      {"mbxstorestate2003", ScriptKind::kVBScript, kStoreState2003, "strServer", true},
      {"mbxstorestate2007", ScriptKind::kPowerShell, kStoreState, "-server", false},
      {"mbxstorestate2010", ScriptKind::kPowerShell, kStoreState, "-server", false},
      {"clustermbxstatus2007", ScriptKind::kPowerShell, kClusterStatus, "-identity", false},
      {"nlbStatus", ScriptKind::kVBScript, kNlbStatus, nullptr, false},
      {"mbxdetails2010", ScriptKind::kPowerShell, kMailboxDetails, "-server", false},
      {"PublicFolderDetails2010", ScriptKind::kPowerShell, kPublicFolderDetails, "-server", false},
  };
  return table;
}

}  // namespace qmx
