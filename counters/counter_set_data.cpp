// The 63 counter set definitions, each described once: performance object, rows, field names
// and scale factors. Sizes, offsets and types come from the table the definition fills, so the
// strings and the table rows cannot drift apart.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "counter_set.h"
#include "counter_set_strings.h"
#include "qmxtrace.h"
#include "table_layout.h"

namespace qmx {
namespace {

// How a header string departs from the common form
// "<count> <rows> <third> <object>( <count> <name>, <name>, ...)".
struct HeaderStyle {
  const char* separator;       // between two names
  bool blankBeforeParen;       // "Database ("
  bool blankAfterParen;        // "( 25" rather than "(25"
  int innerCount;              // the count after "(", 0: the field count
  const char* lineBreakAfter;  // the separator after this name ends in two blanks and a line feed
  bool wideBeforeLast;         // two blanks before the last name
};

const HeaderStyle kPlain = {", ", false, true, 0, nullptr, false};
const HeaderStyle kDatabase800 = {", ", true, true, 0, nullptr, true};
const HeaderStyle kStore810 = {", ", false, true, 0, "Virus Scan Files Cleaned", false};
const HeaderStyle kSmtp820 = {" , ", true, true, 0, "Messages Refused for Size", false};
const HeaderStyle kNoBlankAfterParen = {", ", false, false, 0, nullptr, false};
const HeaderStyle kInnerCount35 = {", ", false, true, 35, nullptr, false};

struct DefinitionSource {
  int id;
  const char* object;
  int rows;
  int third;
  int table;           // the table whose attributes give the layout; 0: kOwnLayout986
  HeaderStyle style;
  const char* names;   // separated by ", "
  const char* scales;  // as the string holds them
};

// Field lists and scales that two definitions share: the same counters under another
// performance object or release.
// Counters of the database engine of 2007 and of 2010 (800, 966).
const char kDatabaseNames[] =
    "_INSTANCE_, Database Cache % Hit, Database Page Fault Stalls/sec, "
    "Database Page Faults/sec, Database Cache Size, Log Record Stalls/sec, "
    "Log Threads Waiting, Log Writes/sec, Table Open Cache % Hit, Table Open Cache Hits/sec, "
    "Table Open Cache Misses/sec, Table Opens/sec, Version Buckets Allocated, "
    "Database Cache Size (MB), I/O Database Reads Average Latency, I/O Database Reads/sec, "
    "I/O Database Writes Average Latency, I/O Database Writes/sec, I/O Log Reads/sec, "
    "I/O Log Writes Average Latency, I/O Log Writes/sec, Log Bytes Write/sec, "
    "Pages Converted/sec, Records Converted/sec, _INSTANCE_";
const char kDatabaseScales[] =
    "0 100 100 100 0.0009765625 100 1 100 100 100 100 100 1 1 1 100 1 100 100 1 100 100 100 100 0";
// Counters of its instances (851, 971).
const char kDatabaseInstanceNames[] =
    "_INSTANCE_, Log Generation Checkpoint Depth, I/O Database Reads Average Latency, "
    "I/O Database Reads/sec, I/O Database Writes Average Latency, I/O Database Writes/sec, "
    "I/O Log Read/sec, I/O Log Writes Average Latency, I/O Log Writes/sec, "
    "Log Bytes Write/sec, Log Files Generated, Log Record Stall/sec, Log Threads Waiting, "
    "Log Writes/sec, Pages Converted/sec, Records Converted/sec, Table Open Cache % Hit, "
    "Table Open Cache Hits/sec, Table Open Cache Misses/sec, Table Opens/sec, "
    "Version buckets allocated";
const char kDatabaseInstanceScales[] =
    "0 1 1 100 1 100 100 1 100 100 1 100 1 100 100 100 100 100 100 100 1";
// Counters of the on-demand and transport scanners (1026, 1041).
const char kScannerMessageNames[] =
    "_INSTANCE_, Malware Message Parts Cleaned, Malware Message Parts Deleted, "
    "Malware Message Parts Detected, Malware Message Parts Quarantined, Message Parts Scanned, "
    "Message Parts Scanned/sec, Messages Scanned/sec, Sender Filter Messages Detected, "
    "Sender Filter Messages Quarantined, Sender Filter Messages Skipped, "
    "Subject Filter Messages Detected, Subject Filter Messages Quarantined, "
    "Subject Filter Messages Skipped";
const char kScannerScales[] = "0 1 1 1 1 1 100 100 1 1 1 1 1 1";
// Counters of the realtime and scheduled scanners (1031, 1036).
const char kScannerMessagePartNames[] =
    "_INSTANCE_, Malware Message Parts Cleaned, Malware Message Parts Deleted, "
    "Malware Message Parts Detected, Malware Message Parts Quarantined, Message Parts Scanned, "
    "Message Parts Scanned/sec, Messages Scanned/sec, Sender Filter Message Parts Detected, "
    "Sender Filter Message Parts Quarantined, Sender Filter Message Parts Skipped, "
    "Subject Filter Message Parts Detected, Subject Filter Message Parts Quarantined, "
    "Subject Filter Message Parts Skipped";
// Counters of MailTips under its two object names (1071, 1111).
const char kMailTipsNames[] =
    "Automatic Replies (1 sec), Automatic Replies (10 sec), Automatic Replies (3 sec), "
    "Automatic Replies Turned On, Average Active Directory Response Time, "
    "Count of GroupMetrics Queries (sec), GetMailTips Average Recipient Number, "
    "GetMailTips Average Response Time, "
    "GetMailTips Average Response Time for GroupMetrics Queries, "
    "GetMailTipsConfiguration Average Response Time, "
    "GetServiceConfiguration average response time, Intra-Site MailTips Failures (sec), "
    "MailboxFull Answered Within One Second, MailboxFull Answered Within Ten Seconds, "
    "MailboxFull Answered Within Three Seconds, MailboxFull with Positive Responses, "
    "MailTips Accumulated Exception Recipients, "
    "MailTips Accumulated Mailbox Sourced Recipients, MailTips Accumulated Recipients, "
    "MailTips Accumulated Requests, MailTips Current Requests, "
    "MailTips Queries Answered Within One Second, "
    "MailTips Queries Answered Within Ten Seconds, "
    "MailTips Queries Answered Within Three Seconds";
const char kMailTipsScales[] =
    "100 100 100 1 100 100 100 100 100 100 100 100 100 100 100 1 1 1 1 1 1 100 100 100";

// Counters of the mailbox replication service per database (986; 1116 repeats the last one).
#define QMX_MOVE_SERVICE_PER_MDB_NAMES \
    "_INSTANCE_, Active Moves: Total Moves, MDB Health: Content Indexing Lagging, " \
    "MDB Health: Database Replication Lagging, MDB Health: Scan Failure, " \
    "MDB Queue: Auto Suspended, MDB Queue: Completed, MDB Queue: Completed with Warnings, " \
    "MDB Queue: Completing, MDB Queue: Failed, MDB Queue: In Progress, MDB Queue: Pull, " \
    "MDB Queue: Push, MDB Queue: Queued, MDB Queue: Remote, MDB Queue: Remote Legacy, " \
    "MDB Queue: Suspended, MDB Queue: Total, Move Requests: Canceled/hour, " \
    "Move Requests: Completed with Warnings/hour, Move Requests: Completed/hour, " \
    "Move Requests: Failed (Bad Item Limit)/hour, Move Requests: Failed (Network)/hour, " \
    "Move Requests: Failed (Other)/hour, Move Requests: Failed (Stall Content Indexing)/hour, " \
    "Move Requests: Failed (Stall Database Replication)/hour, Move Requests: Failed/hour, " \
    "Move Requests: Move Stalls (Content Indexing)/hour, " \
    "Move Requests: Move Stalls (Database Replication)/hour, Move Requests: Move Stalls/hour, " \
    "Move Requests: Transient Failures (Network)/hour, " \
    "Move Requests: Transient Failures (Proxy Backoff)/hour, " \
    "Move Requests: Transient Failures/hour, Last Scan: Duration (msec), " \
    "Last Scan: Timestamp (UTC)"
#define QMX_MOVE_SERVICE_PER_MDB_SCALES \
    "0 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 100 100 100 100 100 100 100 100 100 100 100 100 100 " \
    "100 100 1 1"

// Definition 986 fills no table: the 332-byte instance name, 33 counters of 4 bytes, the time
// stamp of 8 bytes, a 560-byte row.
struct OwnLayout {
  int rowSize;
  int instanceWidth;
  const char* wideField;  // the one 8-byte integer
};
const OwnLayout kOwnLayout986 = {560, 332, "Last Scan: Timestamp (UTC)"};

const DefinitionSource kDefinitions[] = {
    {800, "Database", 1, 1, 1, kDatabase800, kDatabaseNames, kDatabaseScales},
    {805, "NTDS", 1, 1, 2, kPlain,
     "AB Browses/sec, AB Client Sessions, LDAP Searches/sec, DS Threads in Use, AB ANR/sec, "
     "AB Matches/sec, AB Property Reads/sec, AB Proxy Lookups/sec, AB Searches/sec, "
     "DRA Sync Requests Made, DRA Sync Requests Successful, LDAP Active Threads, "
     "LDAP Bind Time, LDAP Client Sessions, LDAP Closed Connections/sec, "
     "LDAP New Connections/sec, LDAP Successful Binds/sec, LDAP Writes/sec",
     "100 1 100 1 100 100 100 100 100 1 1 1 100 1 100 100 100 100"},
    {810, "MSExchangeIS", 1, 1, 3, kStore810,
     "Active Anonymous User Count, Active Connection Count, Active User Count, "
     "Anonymous User Count, Connection Count, Database Session Hit Rate, "
     "Maximum Anonymous Users, Maximum Connections, Maximum Users, "
     "Peak Push Notifications Cache Size, Push Notifications Cache Size, "
     "Push Notifications Generated/sec, Push Notifications Skipped/sec, "
     "Read Bytes RPC Clients/sec, RPC Operations/sec, RPC Packets/sec, RPC Requests, "
     "RPC Requests Peak, User Count, Write Bytes RPC Clients/sec, RPC Averaged Latency, "
     "VM largest Block Size, VM Total 16MB Free Blocks, VM Total Free Blocks, "
     "VM Total Large Free Block Bytes, Exchmem: Number of additional heaps, "
     "Exchmem: Number of heaps with memory errors, Exchmem: Number of memory errors, "
     "Appointment Instances Created, Appointment Instances Deleted, Client: RPCs attempted, "
     "Client: RPCs attempted / sec, Client: RPCs Failed, Client: RPCs Failed / sec, "
     "Client: RPCs succeeded, Client: RPCs succeeded / sec, Exchmem: Current Bytes Allocated, "
     "Exchmem: Current Number of Virtual Allocations, Exchmem: Current Virtual Bytes Allocated, "
     "Exchmem: Maximum Bytes Allocated, Exchmem: Maximum Virtual Bytes Allocated, "
     "Exchmem: Total Number of Virtual Allocations, Recurring Appointment Deletion Rate, "
     "Recurring Appointment Modification Rate, Recurring Appointment Creation Rate, "
     "RPC Client Backoff/sec, RPC Num. of Slow Packets, Single Appointment Creation Rate, "
     "Single Appointment Deletion Rate, Single Appointment Modification Rate, "
     "Single Appointments Created, Single Appointments Deleted, Single Appointments Modified, "
     "Slow QP Threads, Virus Scan Files Cleaned, Virus Scan Files Cleaned/sec, "
     "Virus Scan Files Quarantined, Virus Scan Files Quarantined/sec, Virus Scan Files Scanned, "
     "Virus Scan Files Scanned/sec, Virus Scan Folders Scanned in Background, "
     "Virus Scan Messages Cleaned, Virus Scan Messages Cleaned/sec, "
     "Virus Scan Messages Deleted, Virus Scan Messages Deleted/sec, "
     "Virus Scan Messages Processed, Virus Scan Messages Processed/sec, "
     "Virus Scan Messages Quarantined, Virus Scan Messages Quarantined/sec, "
     "Virus Scan Messages Scanned in Background, Virus Scan Queue Length",
     "1 1 1 1 1 100 1 1 1 1 1 100 100 100 100 100 1 1 1 100 1 0.000095367431640625 1 1 "
     "0.00000095367431640625 1 1 1 1 1 1 100 1 100 1 100 0.00000095367431640625 1 "
     "0.00000095367431640625 0.00000095367431640625 0.00000095367431640625 1 100 100 100 100 1 "
     "100 100 100 1 1 1 1 1 100 1 100 1 100 1 1 100 1 100 1 100 1 100 1 1"},
    {815, "MSExchangeIS Mailbox", 2, 1, 4, kPlain,
     "_INSTANCE_, Active Client Logons, Average Delivery Time, Average Local Delivery Time, "
     "Categorization Count, Client Logons, Folder opens/sec, Local deliveries, "
     "Local delivery rate, Message Opens/sec, Message Recipients Delivered, "
     "Message Recipients Delivered/min, Messages Delivered, Messages Delivered/min, "
     "Messages Sent, Messages Sent/min, Messages Submitted, Messages Submitted/min, "
     "Peak Client Logons, Receive Queue Size, Send Queue Size, Single Instance Ratio, "
     "Total Count of Recoverable Items, Total Size of Recoverable Items, "
     "Event History: Deletes, Event History: Deletes/sec, Event History: Reads, "
     "Event History: Reads/sec, Event History: Writes, Event History: Writes/sec, "
     "Logon Operations/sec, Messages Queued For Submission, Search Task Rate, "
     "Slow FindRow Rate",
     "0 1 100 100 1 1 100 1 100 100 1 100 1 100 1 100 1 100 1 1 1 100 1 1 1 100 1 100 1 100 100 "
     "1 100 100"},
    {820, "SMTP Server", 2, 1, 10, kSmtp820,
     "_INSTANCE_, % Recipients Local, % Recipients Remote, Avg Recipients/msg Received, "
     "Avg Recipients/msg Sent, Avg Retries/msg Delivered, Avg Retries/msg Sent, "
     "Bytes Received Total, Bytes Received/sec, Bytes Sent Total, Bytes Sent/sec, Bytes Total, "
     "Bytes Total/sec, Connection Errors/sec, Directory Drops Total, Directory Drops/sec, "
     "Directory Pickup Queue Length, DNS Queries Total, DNS Queries/sec, ETRN Messages Total, "
     "ETRN Messages/sec, Inbound Connections Current, Inbound Connections Total, "
     "Local Queue Length, Local Retry Queue Length, Message Bytes Received Total, "
     "Message Bytes Received/sec, Message Bytes Sent Total, Message Bytes Sent/sec, "
     "Message Bytes Total, Message Bytes Total/sec, Message Delivery Retries, "
     "Messages Received/sec, Message Send Retries, Messages Delivered Total, "
     "Messages Delivered/sec, Messages Received Total, Messages Refused for Address Objects, "
     "Messages Refused for Mail Objects, Messages Refused for Size, Messages Sent Total, "
     "Messages Sent/sec, NDRs Generated, Number of MailFiles Open, Number of QueueFiles Open, "
     "Outbound Connections Current, Outbound Connections Refused, Outbound Connections Total, "
     "Remote Queue Length, Remote Retry Queue Length, Routing Table Lookups Total, "
     "Routing Table Lookups/sec, Total Connection Errors, Total Messages Submitted, "
     "Categorizer Queue Length, Messages Pending Routing, Badmailed Messages (Bad Pickup File), "
     "Badmailed Messages (General Failure), Badmailed Messages (Hop Count Exceeded), "
     "Badmailed Messages (NDR of DSN), Badmailed Messages (No Recipients), "
     "Badmailed Messages (Triggered via Event), Current Messages in Local Delivery, "
     "Messages Currently Undeliverable, Pickup Directory Messages Retrieved Total, "
     "Pickup Directory Messages Retrieved/sec, Total DSN Failures",
     "0 100 100 100 100 100 100 0.000976563 100 0.000976563 100 0.0009765625 100 100 1 100 1 1 "
     "100 1 100 1 1 1 1 0.0009765624 100 0.0009765625 100 0.0009765625 100 1 100 1 1 100 1 1 1 "
     "1 1 100 1 1 1 1 1 1 1 1 1 100 1 1 1 1 1 1 1 1 1 1 1 1 1 100 1"},
    {825, "MSExchangeMTA", 1, 1, 7, kPlain,
     "Inbound Messages Total, LAN Receive Bytes/sec, LAN Transmit Bytes/sec, "
     "Outbound Messages Total, Work Queue Length, Inbound Bytes Total, Outbound Bytes Total, "
     "Total Recipients Inbound, Total Recipients Outbound, Messages/sec, "
     "Total Recipients Queued, Deferred Delivery Messages, Adjacent MTA Associations, "
     "Admin Connections, Disk File Deletes/sec, Disk File Opens/sec, Disk File Reads/sec, "
     "Disk File Syncs/sec, Disk File Writes/sec, Message Bytes/sec, Threads in Use, "
     "Work Queue Bytes",
     "1 100 100 1 1 1 1 1 1 1 1 1 1 1 100 100 100 100 100 0.0009765625 1 0.09765625"},
    {830, "MSExchangeMTA Connections", 4, 4, 8, kPlain,
     "_INSTANCE_, Queue Length, Receive Messages/sec, Send Messages/sec, Associations, "
     "Failed Outbound Associations, Inbound Bytes Total, Inbound Messages Total, "
     "Outbound Bytes Total, Outbound Messages Total, Total Recipients Inbound, "
     "Total Recipients Outbound, Current Inbound Associations, Current Outbound Associations, "
     "Queued Bytes, Receive Bytes/sec, Rejected Inbound Associations, Send Bytes/sec, "
     "Total Recipients Queued",
     "0 1 100 100 1 1 1 1 1 1 1 1 1 1 0.09765625 0.0009765625 1 0.0009765625 1"},
    {836, "MSExchangeIS Public", 2, 1, 5, kPlain,
     "_INSTANCE_, Active Client Logons, Average Delivery Time, Average Local Delivery Time, "
     "Categorization Count, Client Logons, Folder opens/sec, Message Opens/sec, "
     "Message Recipients Delivered, Message Recipients Delivered/min, Messages Delivered, "
     "Messages Delivered/min, Messages Sent, Messages Sent/min, Messages Submitted, "
     "Messages Submitted/min, Number of messages expired from public folders, "
     "Peak Client Logons, Receive Queue Size, Send Queue Size, Single Instance Ratio, "
     "Total Count of Recoverable Items, Total Size of Recoverable Items, "
     "Event History: Deletes, Event History: Deletes/sec, Event History: Reads, "
     "Event History: Reads/sec, Event History: Writes, Event History: Writes/sec, "
     "Logon Operations/sec, Messages Queued For Submission, "
     "Replication Folder Changes Received, Replication Folder Changes Sent, "
     "Replication Receive Queue Size",
     "0 1 100 100 1 1 100 100 1 100 1 1 1 1 1 1 1 1 1 1 100 1 1 1 100 1 100 1 100 100 1 1 1 1"},
    {841, "MSExchangeIS Public", 2, 1, 6, kPlain,
     "_INSTANCE_, Replication Backfill Data Messages Received, "
     "Replication Backfill Data Messages Sent, Replication Backfill Requests Received, "
     "Replication Backfill Requests Sent, Replication Folder Changes Received, "
     "Replication Folder Changes Sent, Replication Folder Data Messages Received, "
     "Replication Folder Data Messages Sent, Replication Folder Tree Messages Received, "
     "Replication Folder Tree Messages Sent, Replication Message Changes Received, "
     "Replication Message Changes Sent, Replication Messages Received, "
     "Replication Messages Sent, Replication Status Messages Received, "
     "Replication Status Messages Sent",
     "0 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1"},
    {846, "MSExchangeNMC", 2, 1, 16, kPlain,
     "Messages Received, Messages from Folia rejected by Connector, Messages Send, "
     "Messages from Exchange rejected by Connector, Volume Received, Volume Sent, "
     "Message Queued Inbound, Message Queued Outbound, Volume Queued Inbound, "
     "Volume Queued Outbound, Rate of messages sent, Rate of messages received, "
     "Rate of volume sent, Rate of volume received",
     "1 1 1 1 1 1 1 1 1 1 1 1 1 1"},
    {851, "Database ==> Instances", 2, 1, 17, kPlain, kDatabaseInstanceNames, kDatabaseInstanceScales},
    {856, "MSExchange Recipient Cache", 2, 1, 18, kPlain,
     "_INSTANCE_, Address Lookups Pending, Batched Address Lookups, Expand Group Requests, "
     "Individual Address Lookups",
     "0 1 1 1 1"},
    {861, "MSExchange Sender Id Agent", 2, 1, 19, kPlain,
     "DNS Queries, DNS Queries/sec, DNS Queries/sec, Messages That Bypassed Validation, "
     "Messages That Bypassed Validation/sec, Messages Validated, Messages Validated/sec",
     "1 1 100 1 100 1 100"},
    {866, "MSExchange ADAccess Caches", 2, 1, 20, kPlain,
     "_INSTANCE_, LDAP Searches/sec, Cache Expiries Total (Configuration Data), "
     "Cache Expiries Total (User Data), Cache Expiries/Sec (Configuration Data), "
     "Cache Expiries/Sec (User Data), Cache Hits Total, Cache Hits/Sec, Cache Misses Total, "
     "Cache Misses/Sec, DN Entries (Configuration Data), DN Entries (User Data), "
     "DN Entries Memory (Configuration Data), DN Entries Memory (User Data), "
     "LDAP Searches Total, Not Found DN Entries (Configuration Data), "
     "Not Found DN Entries (User Data), Not Found DN Entries Memory (Configuration Data), "
     "Not Found DN Entries Memory (User Data), Outstanding Async Notifies, "
     "Outstanding Async Reads, Outstanding Async Searches, Search Entries (Configuration Data), "
     "Search Entries (User Data), Total Entries (Configuration Data), "
     "Total Entries (User Data), Total Entries Memory (Configuration Data), "
     "Total Entries Memory (User Data)",
     "0 1 1 1 100 100 1 100 1 100 1 1 0.000095367431640625 0.000095367431640625 1 1 1 "
     "0.000095367431640625 0.000095367431640625 1 1 1 1 1 1 1 0.000095367431640625 "
     "0.000095367431640625  "},
    {871, "MSExchange Transport Rules", 2, 1, 21, kPlain,
     "_INSTANCE_, Messages Processed, Messages Processed/sec, Messages Evaluated, "
     "Messages Evaluated/sec",
     "0 1 1 1 1"},
    {876, "MSExchangeTransport Queues", 2, 1, 22, kPlain,
     "_INSTANCE_, Active Remote Delivery Queue Length, Retry Remote Delivery Queue Length, "
     "Active Mailbox Delivery Queue Length, Retry Mailbox Delivery Queue Length, "
     "Active Non-Smtp Delivery Queue Length, Retry Non-Smtp Delivery Queue Length, "
     "Aggregate Delivery Queue Length (All Queues), Items Queued For Delivery Total, "
     "Items Queued For Delivery Per Second, Items Completed Delivery Total, "
     "Items Completed Delivery Per Second, Items Queued For Delivery Expired Total, "
     "Items Deleted by Admin Total, Items Resubmitted Total, Messages Queued For Delivery, "
     "Messages Queued For Delivery Total, Messages Queued For Delivery Per Second, "
     "Messages Completed Delivery Total, Messages Completed Delivery Per Second, "
     "Unreachable Queue Length, Poison Queue Length, Submission Queue Length, "
     "Messages Submitted Total, Messages Submitted Per Second, "
     "Submission Queue Items Expired Total, Largest Delivery Queue Length",
     "0 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1"},
    {881, "MSExchangeTransport SmtpReceive", 2, 1, 23, kPlain,
     "_INSTANCE_, Average recipients/message, Bytes Received Total, Bytes Received/sec, "
     "Connections Current, Connections Total, Message Bytes Received Total, "
     "Message Bytes Received/sec, Messages Received Total, Messages Received/sec, "
     "Messages Refused For Size, Average bytes/connection, Average bytes/message, "
     "Average messages/connection, Disconnections By Agents, Disconnections by Agents/second, "
     "Recipients accepted Total",
     "0 1 1 100 1 1 1 100 1 100 1 0.000095367431640625 0.000095367431640625 100 1 100 1"},
    {886, "MSExchangeTransport SmtpSend", 2, 1, 24, kPlain,
     "_INSTANCE_, Average recipients/message, Bytes Sent Total, Bytes Sent/sec, "
     "Connections Current, Connections Total, Message Bytes Sent Total, Message Bytes Sent/sec, "
     "Messages Sent Total, Messages Sent/sec, Average bytes/connection, "
     "Average message bytes/message, Average messages/connection, Connections Created/sec, "
     "Recipients sent",
     "0 1 1 100 1 1 1 100 1 100 0.000095367431640625 0.000095367431640625 100 100 1"},
    {896, "MSExchange Replication", 2, 1, 28, kPlain,
     "CopyNotificationGenerationNumber, CopyGenerationNumber, InspectorGenerationNumber, "
     "ReplyNotificationGenerationNumber, ReplayGenerationNumber, ReplayQueueLength, "
     "ReplayBatchSize, CopyQueueLength, ReplayGenerationsComplete, ReplayGenerationsRemaining, "
     "ReplayGenerationsPerMinute, Failed, Initializing, "
     "CopyQueueExceedsMountThreshold (CCR Only), Suspended",
     "1 1 1 1 1 1 1 1 1 1 1 1 1 1 1"},
    {901, "MSExchange ActiveSync", 2, 1, 29, kPlain,
     "Requests Total, Current Requests, Average Request Time, Requests/sec, "
     "Meeting Response Total, Meeting Response Commands/sec, Requests Queued, Sync Total, "
     "Sync Commands/sec, Get Item Estimate Commands/sec, Get Attachment Total, "
     "Get Attachment Commands/sec, Send Mail Total, Send Mail Commands/sec, "
     "Mailbox Search Total, Mailbox Searches/sec, Mailbox Item Fetch Total, "
     "Mailbox Item Fetch Commands/sec, Ping Total, Ping Commands Pending, Ping Dropped Total, "
     "Ping Commands Dropped/sec, Busy Threads, Empty Folder Contents Total, "
     "Failed Item Conversion Total, Folder Create Commands/sec, Folder Create Total, "
     "Folder Delete Commands/sec, Folder Delete Total, Folder Sync Commands/sec, "
     "Folder Sync Total, Folder Update Commands/sec, Folder Update Total, GAL Search Total, "
     "GAL Searches/sec, Idle Threads, Mailbox Attachment Fetch Commands/sec, "
     "Mailbox Attachment Fetch Total, Move Collection Commands/sec, Move Collection Total, "
     "Move Items Commands/sec, Move Items Total, PID, Provision Commands/sec, "
     "Search Commands/sec, Search Total, Client Item Adds/Sec, Client Item Changes/Sec, "
     "Client Item Deletes/Sec, Client Item Fetches/Sec, Client Sync Items/Sec, "
     "Create Collection Commands/sec, Current Active Directory Requests, "
     "Exchange Mailbox Server I/O Requests/Sec, Exchange Mailbox Server Item Adds/Sec, "
     "Exchange Mailbox Server Item Changes/Sec, Exchange Mailbox Server Item Deletes/Sec, "
     "Exchange Mailbox Server Item Soft Deletes/Sec, Exchange Mailbox Server Sync Items/Sec, "
     "Get Hierarchy Commands/sec, Notify Commands/Sec, ResolveRecipients Commands/Sec, "
     "Smart Forward Commands/sec",
     "1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 100 1 100 1 100 1 100 1 1 100 1 100 1 "
     "100 1 100 1 1 100 100 1 100 100 100 100 100 100 1 100 100 100 100 100 100 100 100 100 100"},
    {906, "MSExchange ADAccess Processes", 2, 1, 27, kPlain,
     "_INSTANCE_, LDAP Read Time, LDAP Search Time, LDAP Write Time, LDAP Read calls/Sec, "
     "LDAP Search calls/Sec, LDAP Write calls/Sec, LDAP Pages/Sec, "
     "LDAP Not Found configuration read calls/Sec, Long running LDAP operations/Min, "
     "LDAP Timeout errors/Sec, Open connections to Domain Controllers, "
     "Open connections to Global Catalogs, Number of outstanding requests, "
     "LDAP notifications received/Sec, LDAP notifications Reported/Sec, Topology version",
     "0 100 100 100 100 100 100 100 100 100 100 1 1 1 100 100 1"},
    {911, "MSExchange Assistants", 2, 1, 26, kPlain,
     "_INSTANCE_, Events in queue, Events Processed, Number of events processed per second, "
     "Events polled, Events Polled/sec, Polling Delay, Average Event Queue Time in seconds, "
     "Average Event Processing Time In seconds, Average Queue Size of Event Dispatchers, "
     "Number of Event Dispatchers, Number of Failed Event Dispatchers, Number of Threads Used, "
     "Average Mailbox Processing Time In seconds, Number of Handled Exceptions, "
     "Mailboxes processed, Mailboxes processed/sec, Highest Event Counter Polled, "
     "Percentage of Interesting Events",
     "0 1 1 100 1 100 100 100 100 1 1 1 1 100 1 1 100 1 100"},
    {916, "MSExchange Store Driver", 2, 1, 25, kPlain,
     "_INSTANCE_, Inbound: LocalDeliveryCalls, Inbound: LocalDeliveryCallsPerSecond, "
     "Inbound: MessageDeliveryAttempts, Inbound: MessageDeliveryAttemptsPerSecond, "
     "Inbound: Recipients Delivered, Inbound: Recipients Delivered Per Second, "
     "Inbound: Bytes Delivered, Inbound: Number of Delivering Threads, "
     "Inbound: Succeeded Recipients, Inbound: Failed Recipients, Inbound: Retried Recipients, "
     "Inbound: Rerouted Recipients, Outbound: Submitted Mail Items, "
     "Outbound: Submitted Mail Items Per Second, Outbound: Mapi Events Without Message, "
     "Outbound: TotalRecipients, Inbound: TotalMeetingMessages, Inbound: TotalMeetingFailures",
     "0 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1"},
    {921, "MSExchangeIS Client", 2, 1, 30, kPlain,
     "_INSTANCE_, RPC Average Latency, RPC Bytes Received/sec, RPC Bytes Sent/sec, "
     "RPC Packets/sec, JET Log Records/sec, JET Pages Read/sec",
     "0 1 100 100 100 100 100"},
    {926, "MSExchange Recipient Filter Agent", 1, 1, 31, kPlain,
     "Recipients Rejected by Block List/sec, Recipients Rejected by Recipient Validation/sec, "
     "Recipients Rejected by Block List, Recipients Rejected by Recipient Validation",
     "100 100 1 1"},
    {931, "MSExchange Sender Filter Agent", 1, 1, 32, kPlain,
     "Messages Evaluated by Sender Filter, Messages Evaluated by Sender Filter/sec, "
     "Messages Filtered by Sender Filter, Messages Filtered by Sender Filter/sec",
     "1 100 1 100"},
    {936, "MSExchange Protocol Analysis Agent", 1, 1, 33, kPlain,
     "Senders Blocked Because of Local Open Proxy, Senders Blocked Because of Local SRL, "
     "Senders Blocked Because of Remote Open Proxy, Senders Blocked Because of Remote SRL, "
     "Senders Processed",
     "1 1 1 1 1"},
    {941, "MSExchange Connection Filtering Agent", 1, 1, 34, kPlain,
     "Connections on IP Allow List/sec, Connections on IP Block List/sec, "
     "Messages with Originating IP on IP Allow List/sec, "
     "Messages with Originating IP on IP Block List/sec, "
     "Connections on IP Allow List Providers/sec, Connections on IP Block List, "
     "Connections on IP Block List Providers/sec, "
     "Messages with Originating IP on IP Block List, "
     "Messages with Originating IP on IP Block List",
     "100 100 100 100 100 1 100 1 100"},
    {946, "MSExchange Content Filter Agent", 1, 1, 35, kPlain,
     "Messages Scanned Per Second, Messages that Bypassed Scanning, "
     "Messages that Bypassed Scanning due to an organization-wide Safe Sender, "
     "Messages that include an Outlook E-mail Postmark that did not validate, "
     "Messages that include an Outlook E-mail Postmark that validated successfully, "
     "Messages Deleted, Messages Quarantined, Messages Rejected, Messages Scanned, "
     "Messages with SCL 0, Messages with SCL 1, Messages with SCL 2, Messages with SCL 3, "
     "Messages with SCL 4, Messages with SCL 5, Messages with SCL 6, Messages with SCL 7, "
     "Messages with SCL 8, Messages with SCL 9",
     "100 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1"},
    {951, "MSExchange Attachment Filtering", 1, 1, 36, kPlain,
     "Messages Attachment Filtered, Messages Filtered/sec",
     "1 100"},
    {956, "MSExchange OWA", 1, 1, 37, kPlain,
     "Average Response Time, Average Search Time, Proxy Request Bytes, Proxy Response Bytes, "
     "Proxy Response Time Average, Proxy User Requests, Proxy User Requests/sec, Requests, "
     "Requests Failed, Requests/sec, Active Conversions, AS Queries, AS Queries Failure %, "
     "Current Unique Users, Messages Sent, Names Checked, Queued Conversion Requests, "
     "Rejected Conversions, Searches, Searches Executed, Searches Timed Out, Total Users",
     "1 1 0.0009765625 0.0009765625 1 1 100 1 1 100 1 1 1 1 1 1 1 1 1 1 1 1"},
    {961, "Microsoft Forefront Server Security Scan", 2, 1, 38, kPlain,
     "_INSTANCE_, Attachments Cleaned Rate, Attachments Detected Rate, "
     "Attachments Removed Rate, Attachments Scanned Rate, Total Attachments Cleaned, "
     "Total Attachments Detected, Total Attachments Removed, Total Attachments Scanned, "
     "Total Messages Detected, Total Messages Purged, Total Messages Scanned, "
     "Total Messages Tagged",
     "0 100 100 100 100 1 1 1 1 1 1 1 1"},
    {966, "MSExchange Database", 1, 1, 1, kPlain, kDatabaseNames, kDatabaseScales},
    {971, "MSExchange Database ==> Instances", 2, 1, 17, kPlain, kDatabaseInstanceNames, kDatabaseInstanceScales},
    {976, "MSExchange Mailbox Replication Service", 1, 1, 44, kPlain,
     "Last Scan Duration (msec), Mailbox databases in Active Directory site, "
     "Mailbox servers in Active Directory site, Unreachable Databases, Unreachable Servers, "
     "Last Scan Timestamp (UTC)",
     "1 1 1 1 1 1"},
    {981, "MSExchange Control Panel", 1, 1, 45, kPlain,
     "Explicit Sign-On Standard RBAC Sessions, Explicit Sign-On Standard RBAC Sessions - Total, "
     "RBAC Sessions, RBAC Sessions - Average Creation Time, RBAC Sessions - Peak, "
     "RBAC Sessions - Total, RBAC Sessions/sec, Standard RBAC Requests, "
     "Standard RBAC Requests - Peak, Standard RBAC Requests - Total, "
     "Standard RBAC Requests/sec, Standard RBAC Sessions, Standard RBAC Sessions - Peak, "
     "Standard RBAC Sessions - Total, Standard RBAC Sessions/sec",
     "1 1 1 1 1 1 100 1 1 1 100 1 1 1 100"},
    {986, "MSExchange Mailbox Replication Service Per Mdb", 2, 1, 0, kNoBlankAfterParen,
     QMX_MOVE_SERVICE_PER_MDB_NAMES, QMX_MOVE_SERVICE_PER_MDB_SCALES},
    {991, "MSExchange Rights Management", 1, 1, 47, kPlain,
     "Average time for successful AcquireLicense(), "
     "Average time for successful AcquirePreLicense(), "
     "Average time for successful AcquireTemplates(), Average time for successful Certify(), "
     "Average time for successful FindServiceLocations(), "
     "Average time for successful GetClientLicensorCert(), Cache-hit of RMS Server Info/sec, "
     "Cache-miss of RMS Server Info/sec, Entries added into RMS License Store/sec, "
     "Entries added into RMS Server Info cache/sec, Entries removed from RMS License Store/sec, "
     "Entries removed from RMS Server Info cache/sec, Failed AcquireLicense()/sec, "
     "Failed AcquirePreLicense()/sec, Failed AcquireTemplates()/sec, Failed Certify()/sec, "
     "Failed External AcquireLicense Requests/sec, Failed External Certification Requests/sec, "
     "Failed FindServiceLocations()/sec, Failed GetClientLicensorCert()/sec, "
     "Successful AcquireLicense()/sec, Successful AcquirePreLicense()/sec, "
     "Successful AcquireTemplates()/sec, Successful Certify()/sec, "
     "Successful External AcquireLicense Requests/sec, "
     "Successful External Certification Requests/sec, Successful FindServiceLocations()/sec, "
     "Successful GetClientLicensorCert()/sec, Total cache-hit of RMS Server Info, "
     "Total cache-miss of RMS Server Info",
     "1 1 1 1 1 1 100 100 100 100 100 100 100 100 100 100 100 100 100 100 100 100 100 100 100 "
     "100 100 100 1 1"},
    {996, "MSExchange Managed Folder Assistant", 1, 1, 49, kPlain,
     "Items Deleted but Recoverable, Items Marked as Past Retention Date, Items Moved, "
     "Items Permanently Deleted, Items Subject to Retention Policy",
     "1 1 1 1 1"},
    {1001, "MSExchangeTransport Shadow Redundancy", 2, 1, 50, kPlain,
     "_INSTANCE_, Current Messages Acknowledged before Relay Completed, "
     "Redundant Message Discard Events, Redundant Message Discard Events Expired",
     "0 1 1 1"},
    {1006, "MSExchangeTransport Dumpster", 1, 1, 51, kPlain,
     "Dumpster Deletes/sec, Dumpster Inserts/sec, Dumpster Item Count, "
     "Dumpster Mailbox Database Count, Dumpster Size, Redelivery Count, "
     "Dumpster Deletes: Quota",
     "100 100 1 1 1 1 1"},
    {1011, "MSExchange Assistants - Per Database", 2, 1, 52, kPlain,
     "_INSTANCE_, Average Event Processing Time In seconds, "
     "Average Mailbox Processing Time In seconds, Events in queue, Events Polled, "
     "Events Polled/sec, Highest Event Counter Polled, Mailboxes Processed, "
     "Mailboxes processed/sec, Number of Threads Used, Percentage of Interesting Events, "
     "Polling Delay",
     "0 100 100 1 1 100 1 1 100 1 100 100"},
    {1016, "MSExchangeTransport Database", 2, 1, 53, kPlain,
     "_INSTANCE_, Column cache load total, Column cache load/sec, "
     "Column cache loaded bytes/sec, Column cache loaded columns total, "
     "Column cache loaded columns/sec, Column cache save total, Column cache save/sec, "
     "Column cache saved columns total, Column cache saved columns/sec, DataRow deletes total, "
     "DataRow deletes/sec, DataRow loads total, DataRow loads/sec, DataRow moves total, "
     "DataRow moves/sec, DataRow seeks total, DataRow seeks/sec, DataRow updates total, "
     "DataRow updates/sec, MailItem load/sec, MailItem new total, MailItem new/sec, "
     "Stream bytes read total, Stream bytes read/sec, Stream bytes written total, "
     "Stream bytes written/sec, Stream read total, Stream read/sec, Stream writes total, "
     "Stream writes/sec, Column cache loaded bytes total, MailItem load total",
     "0 1 100 100 1 100 1 100 1 100 1 100 1 100 1 100 1 100 1 100 100 1 100 1 100 1 100 1 100 1 "
     "100 1 1"},
    {1021, "MSExchange Assistants - Per Assistant", 2, 1, 26, kPlain,
     "_INSTANCE_, Events in Queue, Events Processed, Events Processed/sec, Events polled, "
     "Events Polled/sec, Polling Delay, Average Event Queue Time in seconds, "
     "Average Event Processing Time In Seconds, Average Queue Size of Event Dispatchers, "
     "Event Dispatchers, Failed Event Dispatchers, Number of Threads Used, "
     "Average Mailbox Processing Time In seconds, Handled Exceptions, Mailboxes processed, "
     "Mailboxes processed/sec, Highest Event Counter Polled, Percentage of Interesting Events",
     "0 1 1 100 1 100 100 100 100 1 1 1 1 100 1 1 100 1 100"},
    {1026, "Forefront Exchange On Demand Scanner", 2, 1, 54, kPlain, kScannerMessageNames, kScannerScales},
    {1031, "Forefront Exchange Realtime Scanner", 2, 1, 55, kPlain, kScannerMessagePartNames, kScannerScales},
    {1036, "Forefront Exchange Scheduled Scanner", 2, 1, 56, kPlain, kScannerMessagePartNames, kScannerScales},
    {1041, "Forefront Exchange Transport Scanner", 2, 1, 57, kPlain, kScannerMessageNames, kScannerScales},
    {1046, "MSExchangeTransport Database", 2, 1, 53, kPlain,
     "_INSTANCE_, Colum cache load total, Colum cache load/sec, Column cache loaded bytes/sec, "
     "Column cache loaded columns total, Column cache loaded columns/sec, "
     "Colum cache save total, Colum cache save/sec, Column cache saved columns total, "
     "Column cache saved columns/sec, DataRow deletes total, DataRow deletes/sec, "
     "DataRow loads total, DataRow loads/sec, DataRow moves total, DataRow moves/sec, "
     "DataRow seeks total, DataRow seeks/sec, DataRow updates total, DataRow updates/sec, "
     "MailItem load/sec, MailItem new total, MailItem new/sec, Stream bytes read total, "
     "Stream bytes read/sec, Stream bytes written total, Stream bytes written/sec, "
     "Stream read total, Stream read/sec, Stream writes total, Stream writes/sec, "
     "Column cache loaded bytes total, MailItem load total",
     "0 1 100 100 1 100 1 100 1 100 1 100 1 100 1 100 1 100 1 100 100 1 100 1 100 1 100 1 100 1 "
     "100 1 1"},
    {1051, "MSExchange Active Manager Client", 2, 1, 58, kPlain,
     "_INSTANCE_, Client-side Cache Hits, Client-side Cache Misses, Client-side Calls, "
     "Client-side Calls ReadThrough, Client-side Calls/Sec, Client-side RPC Calls, "
     "Location cache entries, Server-Information Cache Entries, Server-Information Cache Hits, "
     "Server-Information Cache Misses, Unique databases queried, Unique servers queried",
     "0 1 1 1 1 100 1 1 1 1 1 1 1"},
    {1056, "MSExchange Active Manager Server", 1, 1, 59, kPlain,
     "Active Manager Database State writes to Persistent storage, "
     "Active Manager Database State writes to Persistent storage/sec, "
     "GetServerForDatabase Server-Side Calls, Server-Side Calls/sec, Total Number of Databases",
     "1 100 1 100 1"},
    {1061, "MSExchange Active Manager", 2, 1, 60, kPlain,
     "_INSTANCE_, Database Copy Role Active, Database Mounted",
     "0 1 1"},
    {1066, "MSExchange Mail Submission", 2, 1, 61, kPlain,
     "_INSTANCE_, Aggregate Shadow Queue Length, Hub Servers, Hub Servers In Retry, "
     "Hub Transport Servers Percent Active, Shadow Message Re-submissions Total, "
     "Shadow Queue Auto Discards Total, Shadow Re-submission Queue Length, "
     "Successful Submissions, Successful Submissions Per Second",
     "0 1 1 1 100 1 1 1 1 100"},
    {1071, "MSExchange MailTips", 1, 1, 68, kPlain, kMailTipsNames, kMailTipsScales},
    {1076, "MSExchange Replication Server", 1, 1, 62, kPlain,
     "GetCopyStatus Server-Side Calls, GetCopyStatus Server-Side Calls/sec",
     "1 100"},
    {1081, "MSExchange ResourceHealth", 2, 1, 63, kPlain,
     "_INSTANCE_, Fair to Unhealthy Latency Threshold, Healthy to Fair Latency Threshold, "
     "Max Resource Delay Per Minute, Overflow Queue Count, Overflow Queue Count Peak, "
     "Overflow Wait Time Peak, Raw Resource Value, Requests Per Second, "
     "Resource Health Measure, Semaphore Count, Semaphore Count Peak, Total Semaphore Size, "
     "Total Semaphore Size Peak, Total Threads Beyond Acceptable Latency, "
     "Unhealthy Health Measure",
     "0 1 1 100 1 1 1 1 100 1 1 1 1 1 1 1"},
    {1086, "MSExchange Store Driver Database", 2, 1, 64, kPlain,
     "_INSTANCE_, Delivery attempts per minute over the last 5 minutes, "
     "Delivery failures per minute over the last 5 minutes",
     "0 100 100"},
    {1091, "MSExchange Store Driver Server", 2, 1, 65, kPlain,
     "_INSTANCE_, Delivery Attempts per minute over the last 5 minutes, "
     "Delivery Failures per minute over the last 5 minutes",
     "0 100 100"},
    {1096, "MSExchange Throttling", 2, 1, 66, kPlain,
     "_INSTANCE_, Active PowerShell Runspaces, Active PowerShell Runspaces/Sec, "
     "Average task wait time, Average Thread Sleep Time, Current Delayed Tasks, "
     "Delay Time Threshold, Exchange Executing Cmdlets, Exchange Executing Cmdlets/Sec, "
     "Max Delay Per Minute, Max Delayed Tasks, "
     "Max Effective Time In Active Directory Per Minute, "
     "Max Effective Time In AddressBook Per Minute, Max Effective Time In CAS Per Minute, "
     "Max Effective Time In MailboxRPC Per Minute, Max task queue length, "
     "Max worker thread count, New task rejections, New task rejections/sec, "
     "New tasks submitted/sec, NonInteractive Cutoff Percent, OverBudgetThreshold, "
     "Task Failures/sec, Task queue Length, Task Timeouts Per Minute, Total New Tasks, "
     "Total Task Failures, Total Unique Budgets, Unique Budgets OverBudget, "
     "Users Delayed X Milliseconds, Users X Times OverBudget, Worker thread count",
     "0 1 100 1 1 1 1 1 100 100 1 100 100 100 100 1 1 1 100 100 100 1 100 1 100 1 1 1 1 1 1 1"},
    {1101, "MSExchangeTransport SMTPAvailability", 2, 1, 67, kPlain,
     "_INSTANCE_, % Activity, % Availability, % Failures Due To Active Directory Down, "
     "% Failures Due To Back Pressure, % Failures Due To IO Exceptions, "
     "% Failures Due To MaxInboundConnectionLimit, % Failures Due To TLS Errors, "
     "Failures Due to Maximum Local Loop Count, Total Connections",
     "0 100 100 100 100 100 100 100 100 1"},
    {1106, "Microsoft Exchange ActiveSync", 2, 1, 29, kPlain,
     "Requests Total, Current Requests, Average Request Time, Requests/sec, "
     "Total MeetingResponse Commands, MeetingResponse Commands/Sec, Requests Queued, "
     "Total Sync Commands, Sync Commands/Sec, GetItemEstimate Commands/Sec, "
     "Total GetAttachment Commands, GetAttachment Commands/Sec, Total SendMail Commands, "
     "SendMail Commands/Sec, Mailbox Search Total, Mailbox Searches/sec, "
     "Mailbox Item Fetch Total, Mailbox Item Fetch Commands/sec, Total Ping Commands, "
     "Outstanding Ping Requests, Total Ping Commands Dropped, Ping Commands Dropped/Sec, "
     "Busy Threads, Empty Folder Contents Total, Failed Item Conversion Total, "
     "FolderCreate Commands/Sec, Total FolderCreate Commands, FolderDelete Commands/Sec, "
     "Total FolderDelete Commands, FolderSync Commands/Sec, Total FolderSync Commands, "
     "FolderUpdate Commands/Sec, Total FolderUpdate Commands, GAL Search Total, "
     "GAL Searches/sec, Idle Threads, Mailbox Attachment Fetch Commands/sec, "
     "Mailbox Attachment Fetch Total, MoveCollection Commands/Sec, "
     "Total MoveCollection Commands, MoveItems Commands/Sec, Total MoveItems Commands, PID, "
     "Provision Commands/Sec, Search commands/Sec, Total Search Commands, Client Item Adds/Sec, "
     "Client Item Changes/Sec, Client Item Deletes/Sec, Client Item Fetches/Sec, "
     "Client Sync Items/Sec, CreateCollection Commands/Sec, Current Active Directory Requests, "
     "Exchange Mailbox Server I/O Requests/Sec, Exchange Mailbox Server Item Adds/Sec, "
     "Exchange Mailbox Server Item Changes/Sec, Exchange Mailbox Server Item Deletes/Sec, "
     "Exchange Mailbox Server Item Soft Deletes/Sec, Exchange Mailbox Server Sync Items/Sec, "
     "GetHierarchy Commands/Sec, Notify Commands/Sec, ResolveRecipients Commands/Sec, "
     "SmartForward Commands/Sec",
     "1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 100 1 100 1 100 1 100 1 1 100 1 100 1 "
     "100 1 100 1 1 100 100 1 100 100 100 100 100 100 1 100 100 100 100 100 100 100 100 100 100"},
    {1111, "MSExchange MailTips Service", 1, 1, 68, kPlain, kMailTipsNames, kMailTipsScales},
    {1116, "MSExchange Mailbox Replication Service Per Mdb", 2, 1, 46, kInnerCount35,
     QMX_MOVE_SERVICE_PER_MDB_NAMES ", Last Scan: Timestamp (UTC)",
     QMX_MOVE_SERVICE_PER_MDB_SCALES " 1"},
};

struct Field {
  std::string name;
  int size;
  int type;
};

std::vector<std::string> SplitNames(const char* names) {
  std::vector<std::string> out;
  const char* p = names;
  while (true) {
    const char* comma = std::strstr(p, ", ");
    if (!comma) {
      out.emplace_back(p);
      return out;
    }
    out.emplace_back(p, comma);
    p = comma + 2;
  }
}

const DefinitionSource* FindSource(int id) {
  for (const DefinitionSource& d : kDefinitions)
    if (d.id == id) return &d;
  return nullptr;
}

// Sizes and types of the fields: from the table's attributes in row order, or the own layout.
bool Layout(const DefinitionSource& d, const std::vector<std::string>& names,
            std::vector<Field>* fields, int* rowSize) {
  const TableLayout* t = d.table ? TableLayoutByNumber(d.table) : nullptr;
  if (d.table && (!t || t->attributeCount() - 4 < static_cast<int>(names.size()))) return false;
  for (size_t k = 0; k < names.size(); ++k) {
    Field f{names[k], 4, CS_INTEGER};
    if (t) {
      const TableAttribute& a = t->attributes[k + 4];
      f.size = a.width;
      if (a.type == TYPE_TEXT) f.type = CS_TEXT;
      if (a.type == TYPE_UTF8) f.type = CS_UTF8;
    } else if (names[k] == "_INSTANCE_") {
      f.size = kOwnLayout986.instanceWidth;
      f.type = CS_UTF8;
    } else if (names[k] == kOwnLayout986.wideField) {
      f.size = 8;
    }
    fields->push_back(f);
  }
  *rowSize = t ? t->rowSize : kOwnLayout986.rowSize;
  return true;
}

std::string Header(const DefinitionSource& d, const std::vector<std::string>& names) {
  const HeaderStyle& s = d.style;
  char head[64];
  std::snprintf(head, sizeof head, "%d %d %d ", static_cast<int>(names.size()), d.rows, d.third);
  std::string out = head;
  out += d.object;
  if (s.blankBeforeParen) out += ' ';
  out += '(';
  if (s.blankAfterParen) out += ' ';
  out += std::to_string(s.innerCount ? s.innerCount : static_cast<int>(names.size()));
  out += ' ';
  std::string trimmedSeparator = s.separator;
  while (!trimmedSeparator.empty() && trimmedSeparator.back() == ' ') trimmedSeparator.pop_back();
  for (size_t k = 0; k < names.size(); ++k) {
    if (k > 0) {
      if (s.lineBreakAfter && names[k - 1] == s.lineBreakAfter)
        out += trimmedSeparator + "  \n";
      else if (s.wideBeforeLast && k + 1 == names.size())
        out += trimmedSeparator + "  ";
      else
        out += s.separator;
    }
    out += names[k];
  }
  out += ')';
  return out;
}

bool Build(const DefinitionSource& d, std::vector<std::string>* out) {
  std::vector<std::string> names = SplitNames(d.names);
  std::vector<Field> fields;
  int rowSize = 0;
  if (!Layout(d, names, &fields, &rowSize)) return false;
  std::string sizes = std::to_string(rowSize), offsets, types;
  int offset = kRowHeaderSize;
  for (const Field& f : fields) {
    sizes += ' ' + std::to_string(f.size);
    if (!offsets.empty()) offsets += ' ';
    offsets += std::to_string(offset);
    offset += f.size;
    if (!types.empty()) types += ' ';
    types += std::to_string(f.type);
  }
  out->assign({Header(d, names), sizes, offsets, d.scales, types});
  return true;
}

}  // namespace

const std::vector<int>& CounterSetIds() {
  static const std::vector<int> ids = [] {
    std::vector<int> v;
    for (const DefinitionSource& d : kDefinitions) v.push_back(d.id);
    return v;
  }();
  return ids;
}

bool CounterSetStrings(int id, std::vector<std::string>* out) {
  QMX_ENTRY();
  out->clear();
  if (id == kRowHeaderStringId) {
    out->assign({"4 _ORIGIN_ , _SAMPLE_ , _ROW_ , _TIMESTAMP_", "64 4  4 16", "0 64 68 72"});
    QMX_RETURN(true);
  }
  const DefinitionSource* d = FindSource(id);
  if (!d || !Build(*d, out)) {
    out->clear();
    QMX_RETURN(false);
  }
  QMX_RETURN(true);
}

std::vector<std::pair<int, std::string>> CounterSetResourceStrings() {
  QMX_ENTRY();
  std::vector<std::pair<int, std::string>> all;
  std::vector<std::string> strings;
  CounterSetStrings(kRowHeaderStringId, &strings);
  for (size_t i = 0; i < strings.size(); ++i)
    all.emplace_back(kRowHeaderStringId + static_cast<int>(i), strings[i]);
  for (int id : CounterSetIds()) {
    if (!CounterSetStrings(id, &strings)) {
      std::fprintf(stderr, "CounterSetResourceStrings: definition %d has no layout\n", id);
      continue;
    }
    for (size_t i = 0; i < strings.size(); ++i) all.emplace_back(id + static_cast<int>(i), strings[i]);
  }
  return all;
}

int CounterSetLayoutTable(int id) {
  const DefinitionSource* d = FindSource(id);
  return d ? d->table : -1;
}

}  // namespace qmx
