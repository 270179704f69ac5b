// Processor power settings of the active power scheme (AC), the processor's nominal clock, and three processor
// counters sampled through PDH by one process-wide instance.
#pragma once

#include <windows.h>
#include <pdh.h>

#include <QObject>
#include <QPointer>
#include <QString>

// AC values of the active scheme; -1 where a value was not read.
struct CpuPowerSettings {
  int minProcessorState = -1;
  int maxProcessorState = -1;
  int perfIncreasePolicy = -1;
};

class PowerConfigUtil : public QObject {
  Q_OBJECT
public:
  explicit PowerConfigUtil(QObject *parent = nullptr);
  ~PowerConfigUtil() override;

  // Creates the process-wide instance once; later calls (and their parents) are ignored. The parent owns it, and
  // instance() gives null once the parent has destroyed it.
  static void createInstance(QObject *parent);
  static PowerConfigUtil *instance();

  static QString getCurrentPowerScheme();
  static CpuPowerSettings getCpuPowerSettingsForAc();
  // Clamps both states to 0..100 in the caller's record, writes them and applies the scheme again.
  static bool setCpuPowerStateForAc(CpuPowerSettings &settings);
  static int getCpuMhz();

  // Opens the query (closing one already open), adds the three counters and takes the first sample.
  void initPdhConfig();
  bool collectPdhData();
  double getProcessorPerformance();
  double getProcessorTime();
  bool isPerformanceLimited();
  double getFourthCounterValue();
  // The close's PDH status, or 0 when no query is open.
  PDH_STATUS closePdhQuery();

private:
  PDH_HQUERY pdhQuery = nullptr;
  PDH_HCOUNTER processorPerformanceCounter = nullptr;
  PDH_HCOUNTER performanceLimitFlagsCounter = nullptr;
  PDH_HCOUNTER fourthCounter = nullptr; // no operation adds a counter here; its reader gives 0.0
  PDH_HCOUNTER processorTimeCounter = nullptr;

  static QPointer<PowerConfigUtil> s_instance;
};
