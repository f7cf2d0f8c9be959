// The management-shell scripts of the statistics tool, and its modes and releases. Placeholders,
// filled by BuildScript: {{mode}} (the option without its dash), {{snapin}}, {{server}} and
// {{output}} (PowerShell literals). The scripts run on PowerShell 1.0 (Exchange 2007) and 2.0.
#include "qmxmbstat_portable.h"

namespace qmx {
namespace mbstat {
namespace {

const char* const kStart[] = {
    "# qmxmbstat {{mode}}: one tab-separated record per line, then the end record with their count",
    "$ErrorActionPreference = 'Stop'",
    "$WarningPreference = 'SilentlyContinue'",
    "trap { [Console]::Error.WriteLine('qmxmbstat: ' + $_); exit 1 }",
    "Add-PSSnapin {{snapin}}",
    "$inv = [Globalization.CultureInfo]::InvariantCulture",
    "function Text($v) { if ($v -eq $null) { '' } else { ([string]$v) -replace \"[`t`r`n]\", ' ' } }",
    "function Number($v) { if ($v -eq $null) { '' } else { ([UInt64]$v).ToString($inv) } }",
    "# a size, or an Unlimited one (empty when unlimited), in bytes",
    "function Bytes($v) {",
    "  if ($v -ne $null -and $v.IsUnlimited -ne $null) { if ($v.IsUnlimited) { $v = $null } else { $v = $v.Value } }",
    "  if ($v -eq $null) { '' } else { $v.ToBytes().ToString($inv) }",
    "}",
    "function Time($v) { if ($v -eq $null) { '' } else { ([DateTime]$v).ToString('yyyyMMddHHmmss', $inv) } }",
    "function Record([string[]]$fields) { $out.WriteLine([string]::Join(\"`t\", $fields)) }",
    "$out = New-Object IO.StreamWriter({{output}}, $false, (New-Object Text.UTF8Encoding($false)))",
    "$count = 0",
    nullptr,
};

const char* const kMailboxes[] = {
    "$quota = @{}",
    "foreach ($db in @(Get-MailboxDatabase -Server {{server}})) { $quota[[string]$db.DistinguishedName] = $db.ProhibitSendQuota }",
    "foreach ($m in @(Get-Mailbox -Server {{server}} -ResultSize Unlimited)) {",
    "  $s = Get-MailboxStatistics -Identity $m.Identity -ErrorAction SilentlyContinue -WarningAction SilentlyContinue",
    "  $q = $m.ProhibitSendQuota",
    "  if ($m.UseDatabaseQuotaDefaults) { $q = $quota[[string]$m.Database.DistinguishedName] }",
    "  $group = ''; $store = Text $m.Database.Name; $items = ''; $size = ''; $logon = ''",
    "  if ($s -ne $null) {",
    "    $group = Text $s.StorageGroupName; $store = Text $s.DatabaseName; $items = Number $s.ItemCount",
    "    $size = Bytes $s.TotalItemSize; $logon = Time $s.LastLogonTime",
    "  }",
    "  Record @('M', (Text $m.Name), $group, $store, $items, $size, (Bytes $q), $logon, (Text $m.PrimarySmtpAddress))",
    "  $count++",
    "}",
    nullptr,
};

const char* const kPublicFolders[] = {
    "foreach ($f in @(Get-PublicFolderStatistics -Server {{server}} -ResultSize Unlimited)) {",
    "  Record @('P', (Text $f.Name), (Text $f.StorageGroupName), (Text $f.DatabaseName), (Number $f.ItemCount), (Bytes $f.TotalItemSize), (Time $f.LastAccessTime))",
    "  $count++",
    "}",
    nullptr,
};

const char* const kEnd[] = {
    "Record @('E', $count.ToString($inv))",
    "$out.Close()",
    nullptr,
};

}  // namespace

const char* const* ScriptStart() { return kStart; }
const char* const* ScriptEnd() { return kEnd; }

const std::vector<ModeEntry>& Modes() {
  static const std::vector<ModeEntry> modes = {
      {Mode::kMailboxes, "-mailboxdetails", kMailboxes, 'M', 9},
      {Mode::kPublicFolders, "-publicfolderdetails", kPublicFolders, 'P', 7},
  };
  return modes;
}

const std::vector<ReleaseEntry>& Releases() {
  static const std::vector<ReleaseEntry> releases = {
      {"2007", "Microsoft.Exchange.Management.PowerShell.Admin"},
      {"2010", "Microsoft.Exchange.Management.PowerShell.E2010"},
  };
  return releases;
}

}  // namespace mbstat
}  // namespace qmx
