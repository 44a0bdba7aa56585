#!/usr/bin/env bash
# Makes the default sounds in assets/sounds/ from nothing but sox and lame:
#   Start.wav  short rising chime            Work.wav  bright double signal
#   Rest.wav   softer, lower falling call    Tick.wav  three beeps at 0, 1 and 2 s
#   over.wav   long closing chord            vintra.mp3  4:10 instrumental for the background
# Repeatable (sox -R), so running it again gives the same sounds. Usage: scripts/make-sounds.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh media
out=assets/sounds
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

SOX=(sox -R -q)
RATE=44100
wav=(-r "$RATE" -b 16 -c 1) # every intermediate file: 44.1 kHz, 16 bit, mono

# tone FILE LENGTH FREQ DELAY [WAVE [FADE_IN]]: one note with a bell-like decay, started DELAY s late.
tone() {
  local file=$1 len=$2 freq=$3 delay=$4 wave=${5:-sine} fin=${6:-0.004}
  "${SOX[@]}" -n "${wav[@]}" "$file" synth "$len" "$wave" "$freq" fade l "$fin" "$len" "$(echo "$len * 0.9" | bc -l)" pad "$delay@0"
}

# bell FILE LENGTH FREQ DELAY: fundamental plus a quieter octave and twelfth, which gives a chime.
bell() {
  local file=$1 len=$2 freq=$3 delay=$4
  tone "$work/b1.wav" "$len" "$freq" "$delay"
  tone "$work/b2.wav" "$(echo "$len * 0.6" | bc -l)" "$(echo "$freq * 2" | bc -l)" "$delay"
  tone "$work/b3.wav" "$(echo "$len * 0.3" | bc -l)" "$(echo "$freq * 3" | bc -l)" "$delay"
  "${SOX[@]}" -m -v 0.6 "$work/b1.wav" -v 0.25 "$work/b2.wav" -v 0.1 "$work/b3.wav" "$file"
}

# finish FILE...: mix the parts, trim silence from the start and bring the peak to -3 dBFS.
finish() {
  local target=$1
  shift
  if (($# > 1)); then
    "${SOX[@]}" -m "$@" "${wav[@]}" "$work/mix.wav"
  else
    cp "$1" "$work/mix.wav"
  fi
  "${SOX[@]}" "$work/mix.wav" "${wav[@]}" "$target" gain -n -3
}

# --- Start: C5 E5 G5 C6 rising, 90 ms apart ---
bell "$work/s1.wav" 0.7 523.25 0.00
bell "$work/s2.wav" 0.7 659.26 0.09
bell "$work/s3.wav" 0.7 783.99 0.18
bell "$work/s4.wav" 0.9 1046.50 0.27
finish "$out/Start.wav" "$work"/s{1,2,3,4}.wav

# --- Work: two bright, buzzy E6 blips and a higher B6 ---
tone "$work/w1.wav" 0.14 1318.51 0.00 square
tone "$work/w2.wav" 0.14 1318.51 0.18 square
tone "$work/w3.wav" 0.30 1975.53 0.36 square
"${SOX[@]}" -m "$work"/w{1,2,3}.wav "${wav[@]}" "$work/w.wav" lowpass 7000 treble 3
finish "$out/Work.wav" "$work/w.wav"

# --- Rest: soft triangle G4 falling to C4, slow attack ---
tone "$work/r1.wav" 0.45 392.00 0.00 triangle 0.03
tone "$work/r2.wav" 0.80 261.63 0.30 triangle 0.03
"${SOX[@]}" -m "$work"/r{1,2}.wav "${wav[@]}" "$work/r.wav" lowpass 2500
"${SOX[@]}" "$work/r.wav" "${wav[@]}" "$out/Rest.wav" gain -n -6

# --- Tick: 880 Hz beeps at 0, 1 and 2 s, 2.2 s in all ---
for i in 0 1 2; do
  tone "$work/t$i.wav" 0.12 880 "$i" sine 0.003
done
"${SOX[@]}" -m "$work"/t{0,1,2}.wav "${wav[@]}" "$work/t.wav" pad 0 0.08
"${SOX[@]}" "$work/t.wav" "${wav[@]}" "$out/Tick.wav" trim 0 2.2 gain -n -3

# --- over: arpeggiated C major chord ringing out for about 2.6 s ---
bell "$work/o1.wav" 2.6 261.63 0.00
bell "$work/o2.wav" 2.5 329.63 0.08
bell "$work/o3.wav" 2.4 392.00 0.16
bell "$work/o4.wav" 2.3 523.25 0.24
bell "$work/o5.wav" 2.2 659.26 0.32
finish "$out/over.wav" "$work"/o{1,2,3,4,5}.wav

# --- Music: 120 BPM, Am F C G, 8-second loops arranged into 250 s ---
# Every cell is exactly one beat (0.5 s) or one bar (2 s) long, so plain concatenation keeps time.
beat=0.5

"${SOX[@]}" -n "${wav[@]}" "$work/kick.wav" synth 0.22 sine 140/45 gain -3 fade q 0.002 0.22 0.18
"${SOX[@]}" -n "${wav[@]}" "$work/snn.wav" synth 0.16 whitenoise gain -9 fade q 0.001 0.16 0.15 highpass 1200
"${SOX[@]}" -n "${wav[@]}" "$work/snt.wav" synth 0.12 sine 190 fade q 0.001 0.12 0.1 gain -8
"${SOX[@]}" -m "$work/snn.wav" "$work/snt.wav" "${wav[@]}" "$work/snare.wav"
"${SOX[@]}" -n "${wav[@]}" "$work/hat.wav" synth 0.045 whitenoise gain -16 fade q 0.001 0.045 0.04 highpass 7000
"${SOX[@]}" -n "${wav[@]}" "$work/silence.wav" trim 0 $beat

# hat on both eighths of a beat, with or without kick/snare under it
"${SOX[@]}" "$work/hat.wav" "${wav[@]}" "$work/hat2.wav" pad 0 0.205 repeat 1
"${SOX[@]}" -m -v 1 "$work/hat2.wav" -v 1 "$work/silence.wav" "${wav[@]}" "$work/beat_h.wav" trim 0 $beat
"${SOX[@]}" -m -v 0.5 "$work/beat_h.wav" -v 0.7 "$work/kick.wav" "${wav[@]}" "$work/beat_kh.wav" trim 0 $beat
"${SOX[@]}" -m -v 0.5 "$work/beat_h.wav" -v 0.7 "$work/snare.wav" "${wav[@]}" "$work/beat_sh.wav" trim 0 $beat
"${SOX[@]}" "$work"/beat_{kh,sh,kh,sh}.wav "$work/bar_drums.wav"
"${SOX[@]}" "$work"/beat_{kh,sh,kh,kh}.wav "$work/bar_drums_fill.wav"
"${SOX[@]}" "$work"/beat_{h,h,h,h}.wav "$work/bar_hats.wav"

chords=("220.00 261.63 329.63" "174.61 220.00 261.63" "261.63 329.63 392.00" "196.00 246.94 293.66")
roots=(55.00 43.65 65.41 49.00)
for c in 0 1 2 3; do
  read -r f1 f2 f3 <<<"${chords[$c]}"
  # pad: three soft triangles with a slow swell over the bar
  for f in "$f1" "$f2" "$f3"; do
    "${SOX[@]}" -n "${wav[@]}" "$work/pad_$f.wav" synth 2 triangle "$f" fade t 0.25 2 0.4
  done
  "${SOX[@]}" -m "$work/pad_$f1.wav" "$work/pad_$f2.wav" "$work/pad_$f3.wav" "${wav[@]}" "$work/pad$c.wav" lowpass 1800
  # bass: the root in eighths, plucked, octave jump on the off-beats
  r=${roots[$c]}
  "${SOX[@]}" -n "${wav[@]}" "$work/bl.wav" synth 0.25 sawtooth "$r" fade q 0.003 0.25 0.12 lowpass 600
  "${SOX[@]}" -n "${wav[@]}" "$work/bh.wav" synth 0.25 sawtooth "$(echo "$r * 2" | bc -l)" fade q 0.003 0.25 0.12 lowpass 900
  "${SOX[@]}" "$work"/{bl,bh,bl,bl,bl,bh,bl,bh}.wav "$work/bass$c.wav"
  # lead: chord tones two octaves up, up and down in eighths
  n=0
  for f in "$f1" "$f2" "$f3" "$f2" "$f3" "$f1" "$f2" "$f3"; do
    "${SOX[@]}" -n "${wav[@]}" "$work/ln$n.wav" synth 0.25 pluck "$(echo "$f * 4" | bc -l)" fade q 0.002 0.25 0.2
    n=$((n + 1))
  done
  "${SOX[@]}" "$work"/ln{0,1,2,3,4,5,6,7}.wav "$work/lead$c.wav"
done
"${SOX[@]}" "$work"/pad{0,1,2,3}.wav "$work/pads.wav"
"${SOX[@]}" "$work"/bass{0,1,2,3}.wav "$work/basses.wav"
"${SOX[@]}" "$work"/lead{0,1,2,3}.wav "$work/leads.wav"
"${SOX[@]}" "$work"/bar_drums.wav "$work"/bar_drums.wav "$work"/bar_drums.wav "$work"/bar_drums_fill.wav "$work/drums.wav"
"${SOX[@]}" "$work"/bar_hats.wav "$work"/bar_hats.wav "$work"/bar_hats.wav "$work"/bar_hats.wav "$work/hats.wav"

"${SOX[@]}" -m -v 0.5 "$work/pads.wav" -v 0.4 "$work/hats.wav" "${wav[@]}" "$work/loop_soft.wav"
"${SOX[@]}" -m -v 0.3 "$work/pads.wav" -v 0.35 "$work/basses.wav" -v 0.45 "$work/drums.wav" "${wav[@]}" "$work/loop_full.wav"
"${SOX[@]}" -m -v 0.25 "$work/pads.wav" -v 0.3 "$work/basses.wav" -v 0.4 "$work/drums.wav" -v 0.2 "$work/leads.wav" \
  "${wav[@]}" "$work/loop_lead.wav"

# 31 loops of 8 s (248 s) and a last 2 s chord: 250 s.
"${SOX[@]}" "$work/loop_soft.wav" "$work/sec1.wav" repeat 1
"${SOX[@]}" "$work/loop_full.wav" "$work/sec2.wav" repeat 7
"${SOX[@]}" "$work/loop_lead.wav" "$work/sec3.wav" repeat 7
"${SOX[@]}" "$work/loop_soft.wav" "$work/sec4.wav" repeat 2
"${SOX[@]}" "$work/loop_full.wav" "$work/sec5.wav" repeat 5
"${SOX[@]}" "$work/loop_lead.wav" "$work/sec6.wav" repeat 3
"${SOX[@]}" "$work/pad0.wav" "$work/end.wav" fade t 0 2 1.5
"${SOX[@]}" "$work"/sec{1,2,3,4,5,6}.wav "$work/end.wav" "${wav[@]}" "$work/music.wav" fade t 3 250 6 gain -n -4
lame --quiet -m m -b 64 --noreplaygain --tt "Vintra" --ta "Vintra" "$work/music.wav" "$out/vintra.mp3"

for f in Start Work Rest Tick over; do
  printf '%-10s %6.2f s\n' "$f.wav" "$(soxi -D "$out/$f.wav")"
done
printf '%-10s %6.2f s %s bytes\n' vintra.mp3 "$(soxi -D "$out/vintra.mp3")" "$(stat -c %s "$out/vintra.mp3")"
