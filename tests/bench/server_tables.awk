# The server benchmark's tables, from its samples (one line per run:
# "SERVER PROTO PROC CLIENTS load=... calls=... rate=... p50_us=..." as
# tests/bench/server.sh writes them; "SERVER fill" and "SERVER drain" lines
# hold what rpc_load fill and drain printed).
#   awk -v threads="1 2 4 8" -v own=4 -v memory="..." -f server_tables.awk
# threads: the floors' UDP thread counts; own: the server's own count on its
# IPv4 UDP socket; memory: "SERVER BEFORE AFTER_ROUND_1 AFTER_LAST" lines.
# The server "callits" is the console measured while CALLITs go beside.
# A row's figure is the median over the rounds, with the lowest and highest
# round in brackets; a goal is judged against the floor with the best
# median throughput, and the ratio to the floor with the server's own thread
# count stands beside it.

function sorted(list, v,   n, i, j, t) {
  n = split(list, v, " ")
  for (i = 2; i <= n; i++)
    for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) {
      t = v[j]; v[j] = v[j - 1]; v[j - 1] = t
    }
  return n
}
function median(list,   v, n) {
  n = sorted(list, v)
  return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
function lowest(list,   v) { sorted(list, v); return v[1] }
function highest(list,   v) { return v[sorted(list, v)] }
# "median (lowest–highest)", with digits after the point.
function spread(list, digits,   f) {
  f = "%." digits "f"
  return sprintf(f " (" f "–" f ")", median(list), lowest(list), highest(list))
}
function field(name,   i) {
  for (i = 5; i <= NF; i++)
    if (index($i, name "=") == 1) return substr($i, length(name) + 2)
  return ""
}
function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "–" }
function pass(ok) { return ok ? "PASS" : "MISS" }
function label(m,   w) {
  split(m, w, " ")
  if (w[2] == "set") return toupper(w[1]) " SET+UNSET v4"
  return toupper(w[1]) " " (w[2] == "getport" ? "GETPORT v2" : "GETADDR v4")
}
function clients(m,   w) { split(m, w, " "); return w[3] }

$2 == "fill" || $2 == "drain" {
  rounds[$2]++
  if ($2 == "fill" && field("beyond") == "refused") full[field("entries")]++
  if ($2 == "fill") added = field("added")
  if ($2 == "drain" && field("before") == 2048) stayed++
  next
}
{
  k = $1 SUBSEP $2 " " $3 " " $4
  for (i = split("rate p50_us p99_us set_p50_us set_p99_us unset_p50_us unset_p99_us", names, " "); i > 0; i--)
    if (field(names[i]) != "") value[names[i], k] = value[names[i], k] " " field(names[i])
  load[$2 " " $3 " " $4] = load[$2 " " $3 " " $4] " " field("load")
  lost[$1] += field("lost")
}
function rate(s, m) { return median(value["rate", s SUBSEP m]) }
function p(name, s, m) { return median(value[name, s SUBSEP m]) }
function have(s, m) { return ("rate", s SUBSEP m) in value }
function latency(s, m) {
  if (!have(s, m)) return "–"
  return sprintf("%.0f / %.0f", p("p50_us", s, m), p("p99_us", s, m))
}

END {
  nthreads = split(threads, counts, " ")
  n = split("udp getport 1,udp getport 8,udp getaddr 1,udp getaddr 8,tcp getport 1,tcp getport 8,tcp getaddr 1,tcp getaddr 8", cases, ",")
  # The floor of each look-up: the one with the best median throughput.
  for (c = 1; c <= n; c++) {
    m = cases[c]; bestRate[m] = -1
    for (t = 1; t <= nthreads; t++) {
      f = "floor" counts[t]
      if (have(f, m) && rate(f, m) > bestRate[m]) { best[m] = f; bestRate[m] = rate(f, m) }
    }
  }
  # callits: the console's look-ups while another client sends CALLITs to
  # a program that answers slowly.
  nmodes = split("tessard service callits", modes, " ")
  mode["tessard"] = "console"; mode["service"] = "service, table full"
  mode["callits"] = "console, CALLITs beside"
  same = "floor" own

  print "| Calls | Clients | tessard.exe | calls/s | floor, best | ours / best | ≥ 0.9 × floor | floor, " own " threads | ours / " own " threads | rpcbind | ours / rpcbind | load (1 min) |"
  print "|---|---|---|---|---|---|---|---|---|---|---|---|"
  for (s = 1; s <= nmodes; s++) for (c = 1; c <= n; c++) {
    m = cases[c]; ours = modes[s]
    if (!have(ours, m) || !(m in best)) continue
    udp = substr(m, 1, 3) == "udp"
    t = substr(best[m], 6)
    threadsOfBest = udp ? t (t == 1 ? " thread" : " threads") : "thread per connection"
    met = rate(ours, m) >= 0.9 * bestRate[m]
    metSame[ours] += have(same, m) && rate(ours, m) >= 0.9 * rate(same, m)
    goals[ours] += met; judged[ours] += 2
    rb = ours == "tessard" && have("rpcbind", m)
    printf "| %s | %s | %s | %s | %s, %s | %s | %s | %s | %s | %s | %s | %s |\n",
      label(m), clients(m), mode[ours], spread(value["rate", ours SUBSEP m], 0),
      spread(value["rate", best[m] SUBSEP m], 0), threadsOfBest,
      ratio(rate(ours, m), bestRate[m]), pass(met),
      !udp ? "(the same)" : have(same, m) ? spread(value["rate", same SUBSEP m], 0) : "–",
      have(same, m) ? ratio(rate(ours, m), rate(same, m)) : "–",
      rb ? sprintf("%.0f", rate("rpcbind", m)) : "–",
      rb ? ratio(rate(ours, m), rate("rpcbind", m)) : "–", spread(load[m], 2)
  }
  print ""
  print "| Calls | Clients | tessard.exe | p50 / p99 (p99 range) | floor, best: p50 / p99 | p99 ours / best | ≤ 1.5 × floor | floor, " own " threads: p50 / p99 | p99 ours / " own " threads | rpcbind p50 / p99 |"
  print "|---|---|---|---|---|---|---|---|---|---|"
  for (s = 1; s <= nmodes; s++) for (c = 1; c <= n; c++) {
    m = cases[c]; ours = modes[s]
    if (!have(ours, m) || !(m in best)) continue
    p99 = p("p99_us", ours, m)
    met = p99 <= 1.5 * p("p99_us", best[m], m)
    metSame[ours] += have(same, m) && p99 <= 1.5 * p("p99_us", same, m)
    goals[ours] += met
    printf "| %s | %s | %s | %.0f / %.0f (%.0f–%.0f) | %s | %s | %s | %s | %s | %s |\n",
      label(m), clients(m), mode[ours], p("p50_us", ours, m), p99,
      lowest(value["p99_us", ours SUBSEP m]), highest(value["p99_us", ours SUBSEP m]),
      latency(best[m], m), ratio(p99, p("p99_us", best[m], m)), pass(met),
      latency(same, m), have(same, m) ? ratio(p99, p("p99_us", same, m)) : "–",
      ours == "tessard" ? latency("rpcbind", m) : "–"
  }
  print ""
  header = "| Floor, calls/s by UDP threads | Clients |"; rule = "|---|---|"
  for (t = 1; t <= nthreads; t++) { header = header " " counts[t] " |"; rule = rule "---|" }
  print header; print rule
  for (c = 1; c <= n; c++) {
    m = cases[c]
    if (substr(m, 1, 3) != "udp") continue
    line = "| " label(m) " | " clients(m) " |"
    for (t = 1; t <= nthreads; t++) {
      f = "floor" counts[t]
      line = line " " (have(f, m) ? spread(value["rate", f SUBSEP m], 0) : "–") " |"
    }
    print line
  }
  print ""
  split("tessard service rpcbind", changers, " ")
  kept["tessard"] = "tessard.exe, console (in memory)"
  kept["service"] = "tessard.exe, service"
  kept["rpcbind"] = "rpcbind (in memory)"
  for (c = 1; c <= 2; c++) for (s = 1; s <= 3; s++) {
    m = "udp set " (c == 1 ? 1 : 8); who = changers[s]
    if (!have(who, m)) continue
    if (!changes++) {
      print "| Calls | Clients | Server | pairs/s | SET p50 / p99 | UNSET p50 / p99 | pairs / console's | pairs / rpcbind's | load (1 min) |"
      print "|---|---|---|---|---|---|---|---|---|"
    }
    printf "| %s | %s | %s | %s | %.0f / %.0f | %.0f / %.0f | %s | %s | %s |\n",
      label(m), clients(m), kept[who], spread(value["rate", who SUBSEP m], 0),
      p("set_p50_us", who, m), p("set_p99_us", who, m),
      p("unset_p50_us", who, m), p("unset_p99_us", who, m),
      have("tessard", m) ? ratio(rate(who, m), rate("tessard", m)) : "–",
      have("rpcbind", m) ? ratio(rate(who, m), rate("rpcbind", m)) : "–",
      spread(load[m], 2)
  }
  if (changes) print ""
  print "| Server | RSS before | after round 1 | after the last round | calls without a reply within 1 s |"
  print "|---|---|---|---|---|"
  k = split(memory, rows, "\n")
  for (i = 1; i <= k; i++) {
    if (split(rows[i], r, " ") < 4) continue
    printf "| %s | %d KiB | %d KiB | %d KiB | %d |\n", r[1], r[2], r[3], r[4], lost[r[1]]
  }
  print ""
  if (rounds["fill"])
    printf "The service's table: before its look-ups 2048 entries, %d of them added by the benchmark, and a SET beyond them refused, in %d of %d rounds; still 2048 entries after them in %d of %d.\n\n",
      added, full[2048], rounds["fill"], stayed + 0, rounds["drain"]
  for (s = 1; s <= nmodes; s++) if (judged[modes[s]])
    printf "Goals met, %s: %d of %d (against the floor with %d threads: %d).\n",
      mode[modes[s]], goals[modes[s]], judged[modes[s]], own, metSame[modes[s]]
}
