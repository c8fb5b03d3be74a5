// Host snapshot framework: the snapshot utility of snapshot-only jobs.
// (Operations are added with the snapshot-only protection work.)
#pragma once

#include "plugin/host/EvDebug.h"

class CVMSnapUtil {
  public:
    explicit CVMSnapUtil(EvDebug& log) : m_log(log) {}
    virtual ~CVMSnapUtil() = default;
    CVMSnapUtil(const CVMSnapUtil&) = delete;
    CVMSnapUtil& operator=(const CVMSnapUtil&) = delete;

  protected:
    EvDebug& m_log;
};
