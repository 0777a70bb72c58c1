// Status and message texts of the dialog (UTF-8).
#ifndef KILNOR_TEXTS_H
#define KILNOR_TEXTS_H

namespace kilnor::text {

constexpr const char *kInsertDevice = "请放入设备";
constexpr const char *kChooseFileFirst = "请先选择烧录文件";
constexpr const char *kSpiFailed = "SPI连接失败";
constexpr const char *kWriting = "烧录中...";
constexpr const char *kProgramDone = "烧录完成";
constexpr const char *kWriteFailed = "烧录失败";
constexpr const char *kWriteSucceeded = "烧录成功";
constexpr const char *kHeaderRunning = "EEPROM初始化中...";
constexpr const char *kHeaderDone = "初始化完成";
constexpr const char *kHeaderFailed = "初始化失败";
constexpr const char *kFillRunning = "EEPROM填充中...";
constexpr const char *kFillDone = "填充完成";
constexpr const char *kFillFailed = "填充失败";
constexpr const char *kReadRunning = "程序读取中...";
constexpr const char *kReadDone = "读取完成";
constexpr const char *kReadFailed = "读取失败";
constexpr const char *kPortError = "端口设置错误";
// Address refusals, each before any library call.
constexpr const char *kAddressAlreadyWritten = "地址已烧录过";
constexpr const char *kRangeUsedUp = "地址已用完";
constexpr const char *kAddressOutOfRange = "地址不在范围内";
constexpr const char *kLedgerFailed = "地址记录失败";
// Refusals of a file that is not a regular file where Kilnor writes one.
constexpr const char *kLedgerIsLink = "地址记录文件是符号链接，已拒绝";
constexpr const char *kTargetIsLink = "目标文件是符号链接，已拒绝";
constexpr const char *kTargetNotAFile = "目标不是普通文件，已拒绝";

} // namespace kilnor::text

#endif
