// One colour per event type, the same in every page: errors red, the rest
// spread around the wheel by a hash of the type's name.

const FIXED = { error: 0, tool_call: 210, tool_result: 170, agent_message: 120, prompt_input: 40, agent_reasoning: 280, review_decision: 330 };

function hue(name) {
  if (name in FIXED) return FIXED[name];
  let h = 0;
  for (let i = 0; i < name.length; i++) h = (h * 31 + name.charCodeAt(i)) >>> 0;
  return h % 360;
}

export function typeColor(name, dark) {
  return `hsl(${hue(name || "unknown")} ${dark ? "65% 62%" : "70% 42%"})`;
}
