// The names of the library's routines as its messages show them: the
// routine a failure is reported from (11522, 11525, 11539, ...). Users and
// their scripts see these texts, so they stay exactly as they are, whatever
// the routines are called in the code; some are older names of routines
// that have since been merged or renamed.
#ifndef VELMAIL_FRAME_REPORTERS_H
#define VELMAIL_FRAME_REPORTERS_H

// The parameter getters of the five procedures.
inline constexpr char SM_REPORTER_GETSTMPARAM[] = "sm__getstmparam";
inline constexpr char SM_REPORTER_GETSMPARAM[] = "sm__getsmparam";
inline constexpr char SM_REPORTER_GETRMPARAM[] = "sm__getrmparam";
inline constexpr char SM_REPORTER_GETFMPARAM[] = "sm__getfmparam";
inline constexpr char SM_REPORTER_GETDMPARAM[] = "sm__getdmparam";
// The query's result loop, its row layout, and its message handler.
inline constexpr char SM_REPORTER_PROCESSRESULTS[] = "sm__processresults";
inline constexpr char SM_REPORTER_FETCHANDLOADMB[] = "sm__fetchandloadmb";
inline constexpr char SM_REPORTER_LOADMB[] = "sm__loadmb";
inline constexpr char SM_REPORTER_DISPLAYERR[] = "sm__displayerr()";
// xp_readmail's output step.
inline constexpr char SM_REPORTER_SND_RMRETPRM[] = "sm_snd_rmretprm";

#endif
