// Agent framework (pxr): the calls the agent makes, the classes its tables derive from, and the
// framework's in-process request interface used by the monitoring side and by tests.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Framework status codes the agent returns.
enum : unsigned long {
  PXR_OK = 0,
  PXR_NO_MEMORY = 0x21060002,
  PXR_BAD_INDEX = 0x21060007,
  PXR_BAD_ARGUMENT = 0x21060008,
  PXR_NOT_FOUND = 0x21060009,
};

typedef int (*OPQ_AgentLoader)();

void OPQ_RegisterAgentLoader(OPQ_AgentLoader loader);
void OPQ_SetVersionUsingProduct(const char* product, char* version, int size);
int pxrmain(int argc, char** argv);
void OPQ_SetAffinity(const char* affinity);
void OPQ_Shutdown(int how);

// Condition operators.
enum _IntfOper { OPER_EQ = 1, OPER_NE, OPER_LT, OPER_LE, OPER_GT, OPER_GE };
// Data types passed with text conditions.
enum IntfDtype { DTYPE_TEXT = 9, DTYPE_UTF8 = 12 };

// Attribute types reported by GetAttributeInfo.
enum : uint16_t { ATTR_INT32 = 3, ATTR_TEXT = 9, ATTR_UTF8 = 12, ATTR_INT64 = 13 };

struct AttributeInfo {
  const char* name;
  uint16_t offset;
  uint16_t width;
  uint16_t type;
};

struct RequestCondition {
  std::string attribute;  // upper case, as TestAttribute takes it
  _IntfOper oper;
  std::string value;
};

// What the monitoring server asked for.
struct RequestDetail {
  std::string application;
  std::string table;
  std::vector<RequestCondition> conditions;
  int interval = 0;     // seconds
  int sampleType = 0;
};

// Where the request comes from.
struct ContextInfo {
  uint32_t requestNumber = 0;
  uint64_t handle = 0;
  std::string origin;   // who opened it, for diagnosis
};

class vorta;
class VortaAutomationCapsule;

// Intrusive list of a manager's open requests.
template <class T>
struct LinkedList {
  T* head = nullptr;
};
template <class T>
class LinkedListIter {
 public:
  explicit LinkedListIter(LinkedList<T>& list) : next_(list.head) {}
  T* Next();

 private:
  T* next_;
};

class TableManager {
 public:
  TableManager(const char* application, const char* table);
  virtual ~TableManager();
  virtual void Shutdown(unsigned long how);
  virtual vorta* CreateRequest(RequestDetail* detail, ContextInfo* context) = 0;

  static unsigned long RegisterWithManager(TableManager* manager);

  // The request list that EventArrived and Dispatch walk holds only whole objects: CreateRequest
  // adds its object once built (null is passed through), and the framework takes it out before
  // it destroys the object.
  vorta* AddRequest(vorta* request);
  void RemoveRequest(vorta* request);

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

  const char* application() const { return application_.c_str(); }
  const char* table() const { return table_.c_str(); }
  LinkedList<vorta>& requests() { return requests_; }

 private:
  std::string application_, table_;
  std::recursive_mutex mutex_;
  LinkedList<vorta> requests_;
};

using VortaListIter = LinkedListIter<vorta>;

class vorta {
 public:
  // Not yet in the manager's request list: CreateRequest adds the finished object.
  vorta(RequestDetail* detail, ContextInfo* context, TableManager* manager);

  // Virtual slots in this order: the table classes fill them.
  virtual void PrintSelf() {}
  virtual unsigned long TakeSample() = 0;
  virtual int GetAttributeCount() = 0;
  virtual unsigned long GetAttributeInfo(AttributeInfo* info, int index) = 0;
  virtual int ExecuteCommand(char* command, int length, char* reply);
  virtual ~vorta();
  virtual int InsertRow(char* row);
  virtual int CheckForException(char* row);
  virtual int TestAttribute(char* row, char* name, _IntfOper oper, char* value) = 0;
  virtual void CommandCompleted(VortaAutomationCapsule* capsule);
  virtual void CommandCompletedEx(void* context);
  virtual unsigned long AddData(char* rows, int count) = 0;

  static void UseHandle(uint64_t handle);
  static unsigned long Dispatch();
  static void Drop();

  // Fields the agent reads or sets.
  TableManager* manager;
  int interval;          // seconds
  int sampleType;
  uint32_t requestNumber;
  uint64_t handle;
  int rowSize;
  int allocStep;
  int rowCount;
  int rowsAllocated;
  char* rowData;

  const RequestDetail& detail() const { return detail_; }
  vorta* nextRequest() const { return next_; }

 protected:
  int IsException(_IntfOper oper, const char* value, int length, const char* condition);
  int IsException(_IntfOper oper, const char* value, int length, IntfDtype type,
                  const char* condition);
  int IsException(_IntfOper oper, long value, const char* condition);
  int IsException(_IntfOper oper, long long value, const char* condition);
  void DumpThresholds();

 private:
  friend class LinkedListIter<vorta>;
  friend class TableManager;
  RequestDetail detail_;
  // The conditions as NUL-terminated texts, made once per request rather than once per row.
  std::vector<std::pair<std::vector<char>, std::vector<char>>> preparedConditions_;
  std::vector<char> storage_;
  vorta* next_ = nullptr;
};

template <class T>
T* LinkedListIter<T>::Next() {
  T* cur = next_;
  if (cur) next_ = cur->nextRequest();
  return cur;
}

// The framework's in-process side.
namespace pxr {

// Registered tables in registration order.
std::vector<TableManager*> Tables();
TableManager* FindTable(const std::string& name);

// Text to operator ("EQ", "NE", ...); false when unknown.
bool ParseOperator(const std::string& text, _IntfOper* oper);

// One open request: created through the manager's CreateRequest, destroyed with this object
// (after it left the manager's request list).
class Request {
 public:
  // Returns null with *status set when the table is unknown or CreateRequest gave no object.
  static std::unique_ptr<Request> Open(const std::string& table,
                                       const std::vector<RequestCondition>& conditions,
                                       unsigned long* status, int interval = 60);
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Empties the row set and runs one TakeSample; returns its status.
  unsigned long Sample();
  int rowCount() const;
  const char* row(int index) const;
  int rowSize() const;
  vorta* object() { return object_; }
  TableManager* manager() { return manager_; }

 private:
  Request(TableManager* manager, vorta* object) : manager_(manager), object_(object) {}
  TableManager* manager_;
  vorta* object_;
};

// Affinities declared by the loader, the product and version given to the framework.
std::vector<std::string> Affinities();
std::string Product();

// Rows shipped through vorta::Dispatch, handed to a listener (the monitoring side).
using DispatchListener = void (*)(vorta* request, const char* rows, int count, int rowSize);
void SetDispatchListener(DispatchListener listener);

// True between the start of pxrmain and its end.
bool Running();

// Removes every table: for tests that load tables more than once in one process.
void ResetForTests();

}  // namespace pxr
